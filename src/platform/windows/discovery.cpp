// The device watcher over association endpoints.
#include "platform/windows/errors.h"

namespace platform {

String deviceSelectorFromPairingState(bool paired) {
  return winrtCall(
      [&] { return fromHstring(wdb::BluetoothDevice::GetDeviceSelectorFromPairingState(paired)); });
}

Ref<DeviceWatcher> createWatcher(const String& selector) {
  return winrtCall([&] {
    return wrap<DeviceWatcher>(wde::DeviceInformation::CreateWatcher(
        toHstring(selector), nullptr, wde::DeviceInformationKind::AssociationEndpoint));
  });
}

// The registrations are never revoked: they last as long as the watcher.
void addWatcherAdded(const Ref<DeviceWatcher>& watcher,
                     std::function<void(const Ref<DeviceInformation>&)> handler) {
  winrtCall([&] {
    watcher->value.Added([handler = std::move(handler)](const wde::DeviceWatcher&,
                                                        const wde::DeviceInformation& info) {
      runCoreHandler([&] { handler(wrap<DeviceInformation>(info)); });
    });
  });
}

void addWatcherEnumerationCompleted(const Ref<DeviceWatcher>& watcher,
                                    std::function<void()> handler) {
  winrtCall([&] {
    watcher->value.EnumerationCompleted(
        [handler = std::move(handler)](const wde::DeviceWatcher&, const wf::IInspectable&) {
          runCoreHandler(handler);
        });
  });
}

void addWatcherStopped(const Ref<DeviceWatcher>& watcher, std::function<void()> handler) {
  winrtCall([&] {
    watcher->value.Stopped(
        [handler = std::move(handler)](const wde::DeviceWatcher&, const wf::IInspectable&) {
          runCoreHandler(handler);
        });
  });
}

void startWatcher(const Ref<DeviceWatcher>& watcher) {
  winrtCall([&] { watcher->value.Start(); });
}

int32_t watcherStatus(const Ref<DeviceWatcher>& watcher) {
  return winrtCall([&] { return static_cast<int32_t>(watcher->value.Status()); });
}

// Refuses with E_ILLEGAL_METHOD_CALL on a watcher that is stopped or stopping.
void stopWatcher(const Ref<DeviceWatcher>& watcher) {
  winrtCall([&] { watcher->value.Stop(); });
}

String deviceInformationId(const Ref<DeviceInformation>& info) {
  return winrtCall([&] { return fromHstring(info->value.Id()); });
}

}  // namespace platform
