#pragma once
// The RFCOMM service lists of the Linux backends. The bridge asks only for the serial port, so
// the service id carries nothing.
#include <vector>

#include "platform/platform.h"

namespace platform {

struct RfcommServiceId {};

struct RfcommDeviceServicesResult {
  std::vector<Ref<RfcommDeviceService>> services;
  int32_t error =
      0;  // BluetoothError: why the list is empty (1 RadioNotAvailable, 3 DeviceNotConnected)
};

// The device's serial-port services: from what the platform already knows of the device
// (`cached`) or from the device itself. Each backend defines it.
Async<Ref<RfcommDeviceServicesResult>> serialPortServices(const Ref<BluetoothDevice>& device,
                                                          bool cached);

}  // namespace platform

namespace posix {

// E_BOUNDS: an index past the end of a list or a read past the loaded bytes.
platform::hresult_error outOfBounds();

}  // namespace posix
