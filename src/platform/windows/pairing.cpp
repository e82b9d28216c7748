// Device records by address and by id, and the custom pairing ceremony.
#include "platform/windows/async.h"

namespace platform {

Async<Ref<BluetoothDevice>> bluetoothDeviceFromAddressAsync(uint64_t address) {
  return fromOperation<Ref<BluetoothDevice>>(
      [&] { return wdb::BluetoothDevice::FromBluetoothAddressAsync(address); },
      wrap<BluetoothDevice, wdb::BluetoothDevice>);
}

Ref<DeviceInformation> bluetoothDeviceInformation(const Ref<BluetoothDevice>& device) {
  return winrtCall([&] { return wrap<DeviceInformation>(device->value.DeviceInformation()); });
}

// With the kind: an id alone is looked up as a device interface, the default kind, and only
// association-endpoint records carry the Pairing the pair command needs (DeviceInformationKind).
Async<Ref<DeviceInformation>> createFromIdAsync(const String& id) {
  return fromOperation<Ref<DeviceInformation>>(
      [&] {
        return wde::DeviceInformation::CreateFromIdAsync(
            toHstring(id), nullptr, wde::DeviceInformationKind::AssociationEndpoint);
      },
      wrap<DeviceInformation, wde::DeviceInformation>);
}

Ref<DeviceInformationPairing> deviceInformationPairing(const Ref<DeviceInformation>& info) {
  auto pairing = winrtCall([&] { return wrap<DeviceInformationPairing>(info->value.Pairing()); });
  // Only association-endpoint records carry a pairing object; the caller gets a failure to
  // report, not a null to dereference.
  if (!pairing) throw platformError(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
  return pairing;
}

bool pairingIsPaired(const Ref<DeviceInformationPairing>& pairing) {
  return winrtCall([&] { return pairing->value.IsPaired(); });
}

Ref<DeviceInformationCustomPairing> pairingCustom(const Ref<DeviceInformationPairing>& pairing) {
  return winrtCall([&] { return wrap<DeviceInformationCustomPairing>(pairing->value.Custom()); });
}

void addPairingRequested(const Ref<DeviceInformationCustomPairing>& custom,
                         std::function<void(const Ref<DevicePairingRequestedEventArgs>&)> handler) {
  // Room first: a registration whose token could not be kept could never be revoked.
  custom->registrations.reserve(custom->registrations.size() + 1);
  winrtCall([&] {
    custom->registrations.push_back(custom->value.PairingRequested(
        [handler = std::move(handler)](const wde::DeviceInformationCustomPairing&,
                                       const wde::DevicePairingRequestedEventArgs& request) {
          runCoreHandler([&] { handler(wrap<DevicePairingRequestedEventArgs>(request)); });
        }));
  });
}

Async<Ref<DevicePairingResult>> pairAsync(const Ref<DeviceInformationCustomPairing>& custom,
                                          uint32_t kinds, int32_t minProtectionLevel) {
  return fromOperation<Ref<DevicePairingResult>>(
      [&] {
        return custom->value.PairAsync(
            static_cast<wde::DevicePairingKinds>(kinds),
            static_cast<wde::DevicePairingProtectionLevel>(minProtectionLevel));
      },
      wrap<DevicePairingResult, wde::DevicePairingResult>);
}

int32_t pairingResultStatus(const Ref<DevicePairingResult>& result) {
  return winrtCall([&] { return static_cast<int32_t>(result->value.Status()); });
}

int32_t pairingRequestKind(const Ref<DevicePairingRequestedEventArgs>& request) {
  return winrtCall([&] { return static_cast<int32_t>(request->value.PairingKind()); });
}

String pairingRequestPin(const Ref<DevicePairingRequestedEventArgs>& request) {
  return winrtCall([&] { return fromHstring(request->value.Pin()); });
}

void acceptPairingRequest(const Ref<DevicePairingRequestedEventArgs>& request) {
  winrtCall([&] { request->value.Accept(); });
}

}  // namespace platform
