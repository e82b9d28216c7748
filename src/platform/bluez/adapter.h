#pragma once
// Which adapter the backend uses and whether it can be used now. BlueZ has no default adapter:
// the backend takes the first in BlueZ's order of paths and keeps to it while it is there, so
// that a dongle plugged in later does not take over; one that goes and comes back under another
// path is known again by its address. QUINTEL_BT_ADAPTER (an address, or a name such as hci1)
// narrows the choice to that adapter.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bluez/bus.h"

namespace bluez {

struct AdapterEntry {
  std::string path;     // /org/bluez/hci0
  std::string address;  // Adapter1.Address
};

// Whether `adapter` is the one `wanted` names: its address (any letter case) or the last part
// of its path. An empty `wanted` names every adapter.
bool adapterNamed(const AdapterEntry& adapter, std::string_view wanted);

// The index in `adapters` (BlueZ's order) of the one to use: among those `wanted` names, the one
// used before (same path), else one with the address used before, else the first; nothing when
// none is named.
std::optional<size_t> pickAdapter(const std::vector<AdapterEntry>& adapters,
                                  std::string_view wanted, const AdapterEntry& before);

// The state of the adapter in use among `objects`: absent when there is none, off when it is not
// powered.
platform::AdapterState adapterState(const ManagedObjects& objects);

}  // namespace bluez
