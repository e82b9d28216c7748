#pragma once
#include <cstdint>

#include "platform/platform.h"

// Starts a scan of the given length: replaces the watcher, launches the scan thread, returns.
void startScan(int32_t seconds);

// currentWatcher: the watcher of the most recent scan, or null. Reads take a reference under
// the slot's lock, so a watcher is never used after the slot has released it.
platform::Ref<platform::DeviceWatcher> currentWatcher();
