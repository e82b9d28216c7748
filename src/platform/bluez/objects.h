#pragma once
// BlueZ-backed platform objects shared by more than one part of the backend. A device's id is
// its object path.
#include <memory>
#include <string>

#include "platform/platform.h"

namespace platform {

// A DeviceInformation record: the device's path and, when it was read, its pairing state.
struct DeviceInformation {
  std::string path;
  bool paired = false;
  // Opened for a pairing: connects to the device wait while the record is held.
  std::shared_ptr<void> pairing;
};

struct BluetoothDevice {
  std::string path;
};

}  // namespace platform
