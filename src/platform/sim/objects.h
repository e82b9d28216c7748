#pragma once
// Simulated platform objects shared by more than one part of the simulated radio.
#include <string>

#include "platform/platform.h"
#include "platform/sim/world.h"

namespace platform {

// A DeviceInformation record: from the watcher, the address lookup or CreateFromIdAsync.
struct DeviceInformation {
  String id;
  const sim::Device* device = nullptr;  // null for a record the world does not describe
};

// A BluetoothDevice object: from FromBluetoothAddressAsync or FromIdAsync.
struct BluetoothDevice {
  const sim::Device* device = nullptr;
};

}  // namespace platform

namespace sim {

// GetRfcommServicesForIdAsync as the platform answers it: a lookup that could not ask
// completes with no services and the reason in the result's Error (the Windows stack double
// hands that on). The seam's own lookups fail instead, as the Windows backend does.
platform::Async<platform::Ref<platform::RfcommDeviceServicesResult>> servicesAnswer(
    const platform::Ref<platform::BluetoothDevice>& device, bool cached);

}  // namespace sim
