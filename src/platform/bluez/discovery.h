#pragma once
// Discovery sessions of the adapter, and finding a device BlueZ no longer lists: it drops a device
// that is neither paired nor connected some 30 s after the discovery that found it.
#include <cstdint>
#include <string>

namespace bluez {

// A BR/EDR discovery on `adapter` for as long as begins outnumber ends: BlueZ keeps one session
// per client, so overlapping users share it. beginDiscovery throws sdbus::Error.
void beginDiscovery(const std::string& adapter);
void endDiscovery(const std::string& adapter);

// The path of the device with `address` under the adapter in use; when BlueZ does not list it,
// a discovery looks for it for a few seconds. Empty when there is no adapter, the adapter cannot
// discover, or the device did not answer. Throws sdbus::Error when BlueZ cannot be asked.
std::string findDevice(uint64_t address);
// The same for the device a path names (one from an earlier lookup, perhaps under an adapter
// since replaced).
std::string findDevice(const std::string& path);

}  // namespace bluez
