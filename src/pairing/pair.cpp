// The "pair" command: one pairing run, reported as exactly one pair-result.
#include <string>

#include "host/error_text.h"
#include "host/events.h"
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

void emitPairResult(const std::string& addr, std::string_view tail) {
  emitEvent(R"({"t":"pair-result","addr":")" + jsonEscape(addr) + "\"," + std::string(tail));
}

void emitPaired(const std::string& addr) {
  emitPairResult(addr, R"("ok":true})");
}

void emitNotVisible(const std::string& addr) {
  emitPairResult(addr, R"("ok":false,"error":"Windows не видит этот телефон — включи видимость на )"
                       R"(роботе и найди заново"})");
}

void emitRefused(const std::string& addr, int32_t status) {
  emitPairResult(addr, R"("ok":false,"error":"сопряжение не состоялось (код )" +
                           std::to_string(status) + R"() — подтвердили ли на телефоне?"})");
}

// Runs on a platform thread while PairAsync waits. A platform error here goes back to the
// platform, which decides what the pairing then yields.
void onPairingRequested(const platform::Ref<platform::DevicePairingRequestedEventArgs>& request) {
  int32_t kind = platform::pairingRequestKind(request);
  logLine("[pair] система просит подтверждения, вид=" + std::to_string(kind));
  if (static_cast<uint32_t>(kind) == confirmPinMatch) {
    // Emitted before Accept, so the host sees the PIN before the result.
    emitEvent(R"({"t":"pairing-code","code":")" +
              jsonEscape(toUtf8(platform::pairingRequestPin(request))) + "\"}");
  }
  platform::acceptPairingRequest(request);
}

}  // namespace

platform::fire_and_forget doPair(std::string addr) {
  logLine("[pair] запрошено сопряжение с " + addr);
  platform::String id = co_await resolveDevice(addr);
  if (id.empty()) {
    // The resolver has logged why.
    emitNotVisible(addr);
    co_return;
  }
  try {
    auto info = co_await platform::createFromIdAsync(id);
    if (!info) {
      // The id was good a moment ago (or came from an old scan); the device is gone for now.
      logLine("[pair] Windows не открыла запись устройства " + addr);
      emitNotVisible(addr);
      co_return;
    }
    if (platform::pairingIsPaired(platform::deviceInformationPairing(info))) {
      logLine("[pair] уже сопряжён, подтверждение не нужно");
      emitPaired(addr);
      co_return;
    }
    logLine("[pair] запрашиваю сопряжение, ждём подтверждения на телефоне");
    // Held by this frame until the run ends; releasing it ends the handler's registration.
    auto custom = platform::pairingCustom(platform::deviceInformationPairing(info));
    platform::addPairingRequested(custom, onPairingRequested);
    auto result =
        co_await platform::pairAsync(custom, confirmOnly | confirmPinMatch, protectionDefault);
    int32_t status = platform::pairingResultStatus(result);
    logLine("[pair] итог: код " + std::to_string(status));
    if (status == statusPaired || status == statusAlreadyPaired) {
      emitPaired(addr);
    } else {
      emitRefused(addr, status);
    }
  } catch (const hresult_error& error) {
    std::string text = errorText(error);
    logLine("[pair] исключение: " + text);
    emitPairResult(addr, R"("ok":false,"error":")" + jsonEscape(text) + "\"}");
  }
}
