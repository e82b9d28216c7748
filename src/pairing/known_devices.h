#pragma once
#include <optional>
#include <string>

#include "platform/platform.h"

// knownDeviceIds: address text (or the short form of a watcher's id) to platform device id.
// One process-wide table, never cleared; every lookup and insert is serialised by its lock.
std::optional<platform::String> lookupKnownDeviceId(const std::string& key);
// Inserts, or replaces the entry with the same key.
void storeKnownDeviceId(const std::string& key, const platform::String& id);
