// Simulated device watcher and classic device search. (Filled in with discovery.)
#include "platform/platform.h"
#include "platform/sim/objects.h"
#include "platform/sim/runtime.h"

namespace platform {

namespace {
[[noreturn]] void notYet() { throw hresult_error{static_cast<int32_t>(0x80004001), u"Not implemented\r\n"}; }
}  // namespace

struct DeviceWatcher {};
struct DeviceSearch {};

String deviceSelectorFromPairingState(bool) { notYet(); }
Ref<DeviceWatcher> createWatcher(const String&) { notYet(); }
void addWatcherAdded(const Ref<DeviceWatcher>&, std::function<void(const Ref<DeviceInformation>&)>) { notYet(); }
void addWatcherEnumerationCompleted(const Ref<DeviceWatcher>&, std::function<void()>) { notYet(); }
void addWatcherStopped(const Ref<DeviceWatcher>&, std::function<void()>) { notYet(); }
void startWatcher(const Ref<DeviceWatcher>&) { notYet(); }
int32_t watcherStatus(const Ref<DeviceWatcher>&) { notYet(); }
void stopWatcher(const Ref<DeviceWatcher>&) { notYet(); }
String deviceInformationId(const Ref<DeviceInformation>& info) { return info->id; }
DeviceSearch* findFirstDevice(const DeviceSearchParams&, DeviceSearchInfo&) {
  sim::setLastError(errorNoMoreItems);
  return nullptr;
}
bool findNextDevice(DeviceSearch*, DeviceSearchInfo&) { return false; }
void findDeviceClose(DeviceSearch*) {}

}  // namespace platform
