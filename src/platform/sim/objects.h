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
