#include "platform/posix/services.h"

namespace posix {

platform::hresult_error outOfBounds() {
  return {static_cast<int32_t>(0x8000000B),
          u"The operation attempted to access data outside the valid range"};
}

}  // namespace posix

namespace platform {

Ref<RfcommServiceId> rfcommSerialPortId() {
  return std::make_shared<RfcommServiceId>();
}

Async<Ref<RfcommDeviceServicesResult>> getRfcommServicesForIdAsync(
    const Ref<BluetoothDevice>& device, const Ref<RfcommServiceId>&) {
  return serialPortServices(device, true);
}

Async<Ref<RfcommDeviceServicesResult>> getRfcommServicesForIdUncachedAsync(
    const Ref<BluetoothDevice>& device, const Ref<RfcommServiceId>&) {
  return serialPortServices(device, false);
}

uint32_t servicesSize(const Ref<RfcommDeviceServicesResult>& result) {
  return static_cast<uint32_t>(result->services.size());
}

Ref<RfcommDeviceService> serviceAt(const Ref<RfcommDeviceServicesResult>& result, uint32_t index) {
  if (index >= result->services.size()) throw posix::outOfBounds();
  return result->services[index];
}

}  // namespace platform
