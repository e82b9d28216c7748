#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// Starts a scan of the given length, answering the command `id` (JSON text, or empty):
// replaces the watcher, launches the scan thread, returns. Refused at once without an adapter.
void startScan(int32_t seconds, std::string id = {});
// The adapter went away: every scan under way gets its scan-done at once.
void abandonScans();

// currentWatcher: the watcher of the most recent scan, or null. Reads take a reference under
// the slot's lock, so a watcher is never used after the slot has released it.
platform::Ref<platform::DeviceWatcher> currentWatcher();

// Device events since the last scan command, by every scan still running. Reset by
// startScan, one increment per device event, read for the summary line.
extern std::atomic<int32_t> scanDeviceCount;

// The key a watcher result is known under: the text after the id's last "#", or the whole
// id when it has no "#" or nothing follows it.
std::string shortDeviceId(const platform::String& id);
