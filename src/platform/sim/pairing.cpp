// Simulated address lookup, device records and custom pairing.
//
// How a simulated PairAsync ends, after pair-delay-ms on a platform thread:
// - a ceremony the device asks for (pairing 1, 2, 4, 8, ...) that the caller did not offer
//   in its kinds: status 19 (Failed), with no callback;
// - a ceremony offered but no PairingRequested handler registered: status 16
//   (RequiredHandlerNotRegistered);
// - every handler returns (or throws) without an Accept that went through: status 17
//   (RejectedByHandler); a handler's hresult_error is swallowed here, as the OS does;
// - otherwise pair-error, if set, fails the operation, or else it completes with
//   pair-status; status 0 marks the device paired for the rest of the run.
// Before all that: off air it ends at once with status 1 (NotReadyToPair), or 19 (Failed) when
// the radio goes off air while it waits; a phone out of range (or gone meanwhile) ends it
// with 7 (AuthenticationTimeout) once the page has timed out, unless it comes back meanwhile.
#include "platform/platform.h"
#include "platform/posix/ceremony.h"
#include "platform/sim/objects.h"
#include "platform/sim/runtime.h"

namespace platform {

namespace {

// How long the simulated stack takes to answer a lookup.
constexpr uint32_t lookupDelayMs = 3;

constexpr int32_t elementNotFound = static_cast<int32_t>(0x80070490);
constexpr int32_t requestNotSupported = static_cast<int32_t>(0x80070032);  // ERROR_NOT_SUPPORTED
// DevicePairingResultStatus: the radio is off air when asked; the phone never answered.
constexpr int32_t statusNotReadyToPair = 1;
constexpr int32_t statusAuthenticationTimeout = 7;

}  // namespace

struct DeviceInformationPairing {
  const sim::Device* device = nullptr;  // null for a record the world does not describe
};

struct DeviceInformationCustomPairing {
  const sim::Device* device = nullptr;
  posix::PairingHandlers requested;
};

Async<Ref<BluetoothDevice>> bluetoothDeviceFromAddressAsync(uint64_t address) {
  const sim::Device* d = sim::world().find(address);
  sim::Fault fault = d ? d->lookupError : std::nullopt;
  return sim::completeLater<Ref<BluetoothDevice>>(lookupDelayMs, fault, [d] {
    if (!d || d->lookup == sim::Device::Lookup::unknown) return Ref<BluetoothDevice>();
    return std::make_shared<BluetoothDevice>(BluetoothDevice{d});
  });
}

Ref<DeviceInformation> bluetoothDeviceInformation(const Ref<BluetoothDevice>& device) {
  const sim::Device* d = device->device;
  if (!d || d->lookup == sim::Device::Lookup::noRecord) return nullptr;
  return std::make_shared<DeviceInformation>(DeviceInformation{d->id, d});
}

Async<Ref<DeviceInformation>> createFromIdAsync(const String& id) {
  const sim::Device* d = sim::world().findById(id);
  sim::Fault fault = d ? d->recordError : sim::Fault(elementNotFound);
  return sim::completeLater<Ref<DeviceInformation>>(lookupDelayMs, fault, [d] {
    if (d->recordNone) return Ref<DeviceInformation>();
    return std::make_shared<DeviceInformation>(DeviceInformation{d->id, d});
  });
}

Ref<DeviceInformationPairing> deviceInformationPairing(const Ref<DeviceInformation>& info) {
  // The Windows backend reports a record without a pairing object as this failure.
  if (info->device && info->device->pairingNone) throw sim::world().error(requestNotSupported);
  return std::make_shared<DeviceInformationPairing>(DeviceInformationPairing{info->device});
}

bool pairingIsPaired(const Ref<DeviceInformationPairing>& pairing) {
  if (!pairing->device) return false;
  sim::raise(pairing->device->pairingReadError);
  return sim::isPaired(*pairing->device);
}

Ref<DeviceInformationCustomPairing> pairingCustom(const Ref<DeviceInformationPairing>& pairing) {
  auto custom = std::make_shared<DeviceInformationCustomPairing>();
  custom->device = pairing->device;
  return custom;
}

void addPairingRequested(const Ref<DeviceInformationCustomPairing>& custom,
                         posix::PairingHandler handler) {
  custom->requested.add(std::move(handler));
}

namespace {

// The ceremony, run on the pairing's platform thread. The status it ends with, or nothing
// when the ceremony went through (or none was needed).
std::optional<int32_t> runCeremony(const Ref<DeviceInformationCustomPairing>& custom,
                                   uint32_t kinds) {
  const sim::Device& d = *custom->device;
  if (d.pairingKind == 0) return std::nullopt;
  auto request = std::make_shared<DevicePairingRequestedEventArgs>();
  request->kind = d.pairingKind;
  request->pin = d.pin;
  if (d.acceptError) request->acceptFailure = sim::world().error(*d.acceptError);
  return posix::askHandlers(custom->requested, kinds, request);
}

}  // namespace

Async<Ref<DevicePairingResult>> pairAsync(const Ref<DeviceInformationCustomPairing>& custom,
                                          uint32_t kinds, int32_t) {
  auto [op, done] = Async<Ref<DevicePairingResult>>::pending();
  auto result = [done = done](int32_t status) {
    done.complete(std::make_shared<DevicePairingResult>(DevicePairingResult{status}));
  };
  if (!custom->device) {
    sim::post(0, [done = done] { done.fail(sim::world().error(elementNotFound)); });
    return std::move(op);
  }
  const sim::Device& d = *custom->device;
  sim::Since mark = sim::since(d.address);
  bool offAirAtStart = sim::lost(mark) == sim::Loss::offAir;
  uint32_t delay = offAirAtStart             ? 0
                   : sim::inRange(d.address) ? d.pairDelayMs
                                             : sim::world().pageTimeoutMs;
  // The operation holds the object, and with it the registrations, until it completes.
  sim::postOnAir(delay, mark, [custom, kinds, done = done, result, offAirAtStart](sim::Loss loss) {
    const sim::Device& d = *custom->device;
    if (loss == sim::Loss::offAir)
      return result(offAirAtStart ? statusNotReadyToPair : posix::statusFailed);
    if (loss == sim::Loss::phone || !sim::inRange(d.address))
      return result(statusAuthenticationTimeout);
    int32_t status = d.pairStatus;
    if (auto refused = runCeremony(custom, kinds)) {
      status = *refused;
    } else if (d.pairError) {
      done.fail(sim::world().error(*d.pairError));
      return;
    }
    if (status == 0) sim::markPaired(d.address);
    result(status);
  });
  return std::move(op);
}

}  // namespace platform
