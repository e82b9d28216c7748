// The "pair" command: one pairing run, reported as exactly one pair-result.
#include <string>

#include "host/adapter.h"
#include "host/error_text.h"
#include "host/inflight.h"
#include "host/log.h"
#include "pairing/pairing.h"

namespace {

// DevicePairingKinds.
constexpr uint32_t confirmOnly = 1;
constexpr uint32_t confirmPinMatch = 8;
// DevicePairingProtectionLevel.Default.
constexpr int32_t protectionDefault = 0;
// DevicePairingResultStatus.
constexpr int32_t statusPaired = 0;
constexpr int32_t statusAlreadyPaired = 3;

constexpr const char* notVisibleText =
    "Windows не видит этот телефон — включи видимость на роботе и найди заново";

// Never destroyed: pairings may still finish while the process ends.
InFlight& pairs() {
  static auto* instance = new InFlight;
  return *instance;
}

void finishPaired(Operation& pair) {
  pair.finish({.kind = Kind::pairResult,
               .id = pair.id,
               .addr = pair.addr,
               .spelled = pair.spelled,
               .yes = true});
}

void finishFailed(Operation& pair, Code code, std::string_view text,
                  std::optional<int32_t> status = std::nullopt,
                  std::optional<int32_t> hresult = std::nullopt) {
  // The platform may fail a pairing before it tells that the adapter went; once the bridge
  // knows, that is the reason the host gets.
  if (!adapterOn()) {
    code = Code::adapterOff;
    text = adapterOffText;
    status = hresult = std::nullopt;
  }
  pair.finish({.kind = Kind::pairResult,
               .id = pair.id,
               .addr = pair.addr,
               .spelled = pair.spelled,
               .code = code,
               .text = text,
               .hresult = hresult,
               .status = status});
}

// Runs on a platform thread while PairAsync waits. A platform error here goes back to the
// platform, which decides what the pairing then yields.
void onPairingRequested(Operation& pair,
                        const platform::Ref<platform::DevicePairingRequestedEventArgs>& request) {
  int32_t kind = platform::pairingRequestKind(request);
  logLine("[pair] система просит подтверждения, вид=" + std::to_string(kind));
  if (static_cast<uint32_t>(kind) == confirmPinMatch) {
    // Emitted before Accept, so the host sees the PIN before the result.
    std::string pin = toUtf8(platform::pairingRequestPin(request));
    pair.emit({.kind = Kind::pairingCode, .id = pair.id, .addr = pair.addr, .text = pin});
  }
  platform::acceptPairingRequest(request);
}

// The run stays registered (the adapter may answer it) until its task ends.
struct Registration {
  OperationRef pair;
  ~Registration() { pairs().end(pair); }
};

}  // namespace

platform::fire_and_forget doPair(PairRequest request) {
  logLine("[pair] запрошено сопряжение с " + request.addr);
  OperationRef pair = pairs().start(std::move(request.id), std::move(request.addr));
  Registration registration{pair};
  const std::string& addr = pair->spelled;
  if (!adapterOn()) {
    logLine("[pair] адаптер недоступен — сопряжение не начато");
    finishFailed(*pair, Code::adapterOff, adapterOffText);
    co_return;
  }
  platform::String id = co_await resolveDevice(addr);
  if (id.empty()) {
    // The resolver has logged why.
    finishFailed(*pair, Code::notVisible, notVisibleText);
    co_return;
  }
  try {
    auto info = co_await platform::createFromIdAsync(id);
    if (!info) {
      // The id was good a moment ago (or came from an old scan); the device is gone for now.
      logLine("[pair] Windows не открыла запись устройства " + addr);
      finishFailed(*pair, Code::notVisible, notVisibleText);
      co_return;
    }
    if (platform::pairingIsPaired(platform::deviceInformationPairing(info))) {
      logLine("[pair] уже сопряжён, подтверждение не нужно");
      finishPaired(*pair);
      co_return;
    }
    logLine("[pair] запрашиваю сопряжение, ждём подтверждения на телефоне");
    // Held by this frame until the run ends; releasing it ends the handler's registration.
    auto custom = platform::pairingCustom(platform::deviceInformationPairing(info));
    platform::addPairingRequested(
        custom, [pair](const auto& request) { onPairingRequested(*pair, request); });
    auto result =
        co_await platform::pairAsync(custom, confirmOnly | confirmPinMatch, protectionDefault);
    int32_t status = platform::pairingResultStatus(result);
    logLine("[pair] итог: код " + std::to_string(status));
    if (status == statusPaired || status == statusAlreadyPaired) {
      finishPaired(*pair);
    } else {
      finishFailed(*pair, Code::pairingRefused,
                   "сопряжение не состоялось (код " + std::to_string(status) +
                       ") — подтвердили ли на телефоне?",
                   status);
    }
  } catch (const hresult_error& error) {
    std::string text = errorText(error);
    logLine("[pair] исключение: " + text);
    finishFailed(*pair, Code::platformError, text, std::nullopt, error.code);
  }
}

void abandonPairs() {
  for (const OperationRef& pair : pairs().all()) {
    if (!pair->claim()) continue;
    logLine("[pair] сопряжение с " + pair->spelled + " прервано: адаптер недоступен");
    report({.kind = Kind::pairResult,
            .id = pair->id,
            .addr = pair->addr,
            .spelled = pair->spelled,
            .code = Code::adapterOff,
            .text = adapterOffText});
  }
}
