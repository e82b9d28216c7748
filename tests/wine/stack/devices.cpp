// Bluetooth devices: by address and by id, their records and their RFCOMM service lookups.
#include "classes.h"

#include "failures.h"
#include "operation.h"
#include "platform/sim/objects.h"

namespace stack {

namespace {

using winrt::implements;
using winrt::make;

struct Device
    : implements<Device, wdb::IBluetoothDevice, wdb::IBluetoothDevice2, wdb::IBluetoothDevice3> {
  explicit Device(Ref<platform::BluetoothDevice> d) : model_(std::move(d)) {}
  wde::DeviceInformation DeviceInformation() const {
    auto info = platform::bluetoothDeviceInformation(model_);
    trace("BluetoothDevice.DeviceInformation -> " + std::string(info ? "a record" : "null"));
    return wrapInformation(std::move(info));
  }
  wf::IAsyncOperation<rfc::RfcommDeviceServicesResult> GetRfcommServicesForIdAsync(
      const rfc::RfcommServiceId& id) const {
    trace("BluetoothDevice.GetRfcommServicesForIdAsync " + nameOf(id));
    serviceIdModel(id);  // refuses a null id
    return servicesOperation(sim::servicesAnswer(model_, true));
  }
  wf::IAsyncOperation<rfc::RfcommDeviceServicesResult> GetRfcommServicesForIdAsync(
      const rfc::RfcommServiceId& id, wdb::BluetoothCacheMode mode) const {
    trace("BluetoothDevice.GetRfcommServicesForIdAsync " + nameOf(id) +
          " mode=" + std::to_string(static_cast<int32_t>(mode)));
    serviceIdModel(id);  // refuses a null id
    return servicesOperation(
        sim::servicesAnswer(model_, mode != wdb::BluetoothCacheMode::Uncached));
  }
  UNUSED_MEMBER(DeviceId)
  UNUSED_MEMBER(HostName)
  UNUSED_MEMBER(Name)
  UNUSED_MEMBER(ClassOfDevice)
  UNUSED_MEMBER(SdpRecords)
  UNUSED_MEMBER(RfcommServices)
  UNUSED_MEMBER(ConnectionStatus)
  UNUSED_MEMBER(BluetoothAddress)
  UNUSED_MEMBER(NameChanged)
  UNUSED_MEMBER(SdpRecordsChanged)
  UNUSED_MEMBER(ConnectionStatusChanged)
  UNUSED_MEMBER(DeviceAccessInformation)
  UNUSED_MEMBER(RequestAccessAsync)
  UNUSED_MEMBER(GetRfcommServicesAsync)
  Ref<platform::BluetoothDevice> model_;
};

wdb::BluetoothDevice wrapDevice(Ref<platform::BluetoothDevice> device) {
  if (!device) return nullptr;
  return make<Device>(std::move(device)).as<wdb::BluetoothDevice>();
}

struct DeviceStatics : implements<DeviceStatics, wf::IActivationFactory,
                                  wdb::IBluetoothDeviceStatics, wdb::IBluetoothDeviceStatics2> {
  wf::IInspectable ActivateInstance() const { throw winrt::hresult_not_implemented(); }
  hstring GetDeviceSelectorFromPairingState(bool paired) const {
    trace(std::string("BluetoothDevice.GetDeviceSelectorFromPairingState ") +
          (paired ? "true" : "false"));
    return toHstring(model([&] { return platform::deviceSelectorFromPairingState(paired); }));
  }
  wf::IAsyncOperation<wdb::BluetoothDevice> FromBluetoothAddressAsync(uint64_t address) const {
    char text[32];
    std::snprintf(text, sizeof text, "0x%012llX", static_cast<unsigned long long>(address));
    trace(std::string("BluetoothDevice.FromBluetoothAddressAsync ") + text);
    return operation<wdb::BluetoothDevice>("FromBluetoothAddressAsync",
                                           platform::bluetoothDeviceFromAddressAsync(address),
                                           wrapDevice);
  }
  wf::IAsyncOperation<wdb::BluetoothDevice> FromIdAsync(const hstring& id) const {
    trace("BluetoothDevice.FromIdAsync " + quoted(id));
    return operation<wdb::BluetoothDevice>(
        "FromIdAsync", platform::bluetoothDeviceFromIdAsync(units(id)), wrapDevice);
  }
  UNUSED_MEMBER(FromHostNameAsync)
  UNUSED_MEMBER(GetDeviceSelector)
  UNUSED_MEMBER(GetDeviceSelectorFromConnectionStatus)
  UNUSED_MEMBER(GetDeviceSelectorFromDeviceName)
  UNUSED_MEMBER(GetDeviceSelectorFromBluetoothAddress)
  UNUSED_MEMBER(GetDeviceSelectorFromClassOfDevice)
};

}  // namespace

wf::IActivationFactory deviceFactory() {
  return make<DeviceStatics>().as<wf::IActivationFactory>();
}

}  // namespace stack
