// Scan run: the device watcher and the scan thread. (Filled in with discovery.)
#include "discovery/scan.h"

void startScan(int32_t) {}

platform::Ref<platform::DeviceWatcher> currentWatcher() { return nullptr; }
