// A record's pairing object, the custom pairing ceremony and its requests and results.
#include "classes.h"

#include <atomic>
#include <map>
#include <mutex>

#include "failures.h"
#include "operation.h"

namespace stack {

namespace {

using winrt::implements;
using winrt::make;

struct PairingResult : implements<PairingResult, wde::IDevicePairingResult> {
  explicit PairingResult(Ref<platform::DevicePairingResult> r) : model_(std::move(r)) {}
  wde::DevicePairingResultStatus Status() const {
    int32_t status = platform::pairingResultStatus(model_);
    trace("DevicePairingResult.Status -> " + std::to_string(status));
    return static_cast<wde::DevicePairingResultStatus>(status);
  }
  UNUSED_MEMBER(ProtectionLevelUsed)
  Ref<platform::DevicePairingResult> model_;
};

struct PairingRequest : implements<PairingRequest, wde::IDevicePairingRequestedEventArgs> {
  explicit PairingRequest(Ref<platform::DevicePairingRequestedEventArgs> r)
      : model_(std::move(r)) {}
  wde::DevicePairingKinds PairingKind() const {
    int32_t kind = platform::pairingRequestKind(model_);
    trace("DevicePairingRequestedEventArgs.PairingKind -> " + std::to_string(kind));
    return static_cast<wde::DevicePairingKinds>(kind);
  }
  hstring Pin() const {
    auto pin = toHstring(platform::pairingRequestPin(model_));
    trace("DevicePairingRequestedEventArgs.Pin -> " + quoted(pin));
    return pin;
  }
  void Accept() const {
    trace("DevicePairingRequestedEventArgs.Accept");
    model([&] { platform::acceptPairingRequest(model_); });
  }
  void Accept(const hstring& pin) const {
    trace("DevicePairingRequestedEventArgs.Accept pin=" + quoted(pin));
    model([&] { platform::acceptPairingRequest(model_); });
  }
  UNUSED_MEMBER(DeviceInformation)
  UNUSED_MEMBER(GetDeferral)
  Ref<platform::DevicePairingRequestedEventArgs> model_;
};

using PairingHandler = wf::TypedEventHandler<wde::DeviceInformationCustomPairing,
                                             wde::DevicePairingRequestedEventArgs>;

struct CustomPairing : implements<CustomPairing, wde::IDeviceInformationCustomPairing> {
  explicit CustomPairing(Ref<platform::DeviceInformationCustomPairing> c)
      : model_(std::move(c)), name_(label("DeviceInformationCustomPairing")) {}

  winrt::event_token PairingRequested(const PairingHandler& handler) {
    winrt::event_token token{++nextToken_};
    {
      std::lock_guard guard(lock_);
      handlers_[token.value] = handler;
    }
    trace(name_ + ".PairingRequested add");
    // The model keeps its registration as long as the object; a removed one falls silent.
    auto weak = get_weak();
    platform::addPairingRequested(
        model_, [weak, token](const Ref<platform::DevicePairingRequestedEventArgs>& request) {
          auto self = weak.get();
          if (!self) return;
          PairingHandler h;
          {
            std::lock_guard guard(self->lock_);
            auto it = self->handlers_.find(token.value);
            if (it == self->handlers_.end()) return;
            h = it->second;
          }
          trace(self->name_ + ".PairingRequested raised");
          callHandler(self->name_ + ".PairingRequested", [&] {
            h(self.template as<wde::DeviceInformationCustomPairing>(),
              make<PairingRequest>(request).as<wde::DevicePairingRequestedEventArgs>());
          });
        });
    return token;
  }
  void PairingRequested(const winrt::event_token& token) {
    trace(name_ + ".PairingRequested remove");
    std::lock_guard guard(lock_);
    handlers_.erase(token.value);
  }

  wf::IAsyncOperation<wde::DevicePairingResult> PairAsync(wde::DevicePairingKinds kinds) {
    return PairAsync(kinds, wde::DevicePairingProtectionLevel::Default);
  }
  wf::IAsyncOperation<wde::DevicePairingResult> PairAsync(wde::DevicePairingKinds kinds,
                                                          wde::DevicePairingProtectionLevel level) {
    trace(name_ + ".PairAsync kinds=" + std::to_string(static_cast<uint32_t>(kinds)) +
          " level=" + std::to_string(static_cast<int32_t>(level)));
    return operation<wde::DevicePairingResult>(
        "PairAsync",
        platform::pairAsync(model_, static_cast<uint32_t>(kinds), static_cast<int32_t>(level)),
        [](Ref<platform::DevicePairingResult> r) {
          return make<PairingResult>(std::move(r)).as<wde::DevicePairingResult>();
        });
  }
  template <typename A, typename B, typename C>
  Unused PairAsync(const A&, const B&, const C&) {
    return {};
  }

  Ref<platform::DeviceInformationCustomPairing> model_;
  std::string name_;
  std::mutex lock_;
  std::map<int64_t, PairingHandler> handlers_;
  std::atomic<int64_t> nextToken_{0};
};

struct Pairing
    : implements<Pairing, wde::IDeviceInformationPairing, wde::IDeviceInformationPairing2> {
  explicit Pairing(Ref<platform::DeviceInformationPairing> p) : model_(std::move(p)) {}
  bool IsPaired() const {
    bool paired = model([&] { return platform::pairingIsPaired(model_); });
    trace("DeviceInformationPairing.IsPaired -> " + std::string(paired ? "true" : "false"));
    return paired;
  }
  wde::DeviceInformationCustomPairing Custom() const {
    return traced<CustomPairing, wde::DeviceInformationCustomPairing>(
        "DeviceInformationPairing.Custom", model([&] { return platform::pairingCustom(model_); }));
  }
  UNUSED_MEMBER(CanPair)
  UNUSED_MEMBER(PairAsync)
  UNUSED_MEMBER(ProtectionLevel)
  UNUSED_MEMBER(UnpairAsync)
  Ref<platform::DeviceInformationPairing> model_;
};

}  // namespace

wde::DeviceInformationPairing wrapPairing(Ref<platform::DeviceInformationPairing> pairing) {
  return make<Pairing>(std::move(pairing)).as<wde::DeviceInformationPairing>();
}

}  // namespace stack
