#pragma once
// Which adapter the backend uses and whether it can be used now. BlueZ has no default adapter:
// the backend takes the first in BlueZ's order of paths and keeps to it while it is there, so
// that a dongle plugged in later does not take over; one that goes and comes back under another
// path is known again by its address. QUINTEL_BT_ADAPTER (an address, or a name such as hci1)
// narrows the choice to that adapter.
#include <chrono>
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

// Waits, up to `limit`, until the core has been told that the adapter is no longer on; false
// when it stays on (or is not followed).
bool awaitAdapterLeavesOn(std::chrono::milliseconds limit);

// How long a failure that the adapter's going seems to have caused waits for the adapter's news.
inline constexpr std::chrono::milliseconds adapterNewsPatience{2000};

// The stack fails what was under way (links, pairings, connects) before it reports its adapter
// off or gone, and the bus answers a call to a bluetoothd that ended before it says the service
// went. A failure about the device at `devicePath` calls this before it is reported: when the
// device's controller has stopped serving, or the failure says the service went, it waits for the
// adapter's news, so that the core answers with that cause rather than a failure of its own.
void awaitAdapterNews(const std::string& devicePath);
void awaitAdapterNews(const std::string& devicePath, const sdbus::Error& failure);

}  // namespace bluez
