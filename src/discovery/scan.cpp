// Scan run: the device watcher that fills the known-device table, and the scan thread that
// runs the classic inquiry and ends the scan with scan-done.
#include "discovery/scan.h"

#include <mutex>
#include <system_error>
#include <thread>

#include "discovery/inquiry.h"
#include "host/adapter.h"
#include "host/error_text.h"
#include "host/log.h"
#include "pairing/known_devices.h"

using platform::DeviceWatcher;
using platform::Ref;

std::atomic<int32_t> scanDeviceCount{0};

namespace {

// The slot behind currentWatcher. Written only by startScan on the command thread, read by
// scan threads and stop-scan; every access under `lock`. Never destroyed: scan threads may
// still read it while the process ends.
struct WatcherSlot {
  std::mutex lock;
  Ref<DeviceWatcher> watcher;
};

// The scans under way. Never destroyed, as the slot.
InFlight& scans() {
  static auto* instance = new InFlight;
  return *instance;
}

WatcherSlot& watcherSlot() {
  static auto* slot = new WatcherSlot;
  return *slot;
}

void setCurrentWatcher(Ref<DeviceWatcher> watcher) {
  auto& slot = watcherSlot();
  std::lock_guard guard(slot.lock);
  slot.watcher = std::move(watcher);
}

// A watcher refuses Stop once stopped; the scan never cares why.
void stopWatcherQuietly(const Ref<DeviceWatcher>& watcher) {
  try {
    platform::stopWatcher(watcher);
  } catch (...) {
  }
}

void logWatcherFailure(const hresult_error& error) {
  logLine("[scan] наблюдатель не запустился: " + errorText(error));
}

// Runs on a platform callback thread.
void onDeviceAdded(const Ref<platform::DeviceInformation>& info) {
  platform::String id = platform::deviceInformationId(info);
  storeKnownDeviceId(shortDeviceId(id), id);
}

void onEnumerationCompleted() {
  logLine("[scan] известные устройства перечислены, дальше эфир");
}

void onWatcherStopped() {
  logLine("[scan] наблюдатель остановлен");
}

// Builds the watcher over paired and unpaired devices and publishes it in the slot.
Ref<DeviceWatcher> newWatcher() {
  platform::String paired = platform::deviceSelectorFromPairingState(true);
  platform::String unpaired = platform::deviceSelectorFromPairingState(false);
  auto watcher = platform::createWatcher(u"(" + paired + u") OR (" + unpaired + u")");
  setCurrentWatcher(watcher);
  platform::addWatcherAdded(watcher, onDeviceAdded);
  platform::addWatcherEnumerationCompleted(watcher, onEnumerationCompleted);
  platform::addWatcherStopped(watcher, onWatcherStopped);
  return watcher;
}

// Ends a scan: whichever watcher is current now is stopped, even a later scan's. A scan the
// adapter answered already says nothing more.
void endScan(const OperationRef& scan) {
  if (auto watcher = currentWatcher()) stopWatcherQuietly(watcher);
  if (scan->claim()) {
    logLine("[scan] опрос закончен, устройств найдено: " + std::to_string(scanDeviceCount.load()));
    // An inquiry the adapter cut short ends as one that could not run.
    if (adapterOn())
      report({.kind = Kind::scanDone, .id = scan->id});
    else
      report({.kind = Kind::scanDone,
              .id = scan->id,
              .code = Code::adapterOff,
              .text = adapterOffText});
  }
  scans().end(scan);
}

void runScan(int32_t seconds, const OperationRef& scan) {
  classicInquiry(seconds, *scan);
  endScan(scan);
}

}  // namespace

Ref<DeviceWatcher> currentWatcher() {
  auto& slot = watcherSlot();
  std::lock_guard guard(slot.lock);
  return slot.watcher;
}

std::string shortDeviceId(const platform::String& id) {
  std::string text = platform::toUtf8(id);
  size_t hash = text.rfind('#');
  if (hash == std::string::npos || hash + 1 == text.size()) return text;
  return text.substr(hash + 1);
}

void startScan(int32_t seconds, std::string id) {
  OperationRef scan = scans().start(std::move(id), {});
  if (!adapterOn()) {
    logLine("[scan] адаптер недоступен — опрос не начат");
    scan->finish(
        {.kind = Kind::scanDone, .id = scan->id, .code = Code::adapterOff, .text = adapterOffText});
    scans().end(scan);
    return;
  }
  logLine("[scan] начинаю опрос, " + std::to_string(seconds) + " с");
  if (auto old = currentWatcher()) {
    stopWatcherQuietly(old);
    setCurrentWatcher(nullptr);
  }

  // A watcher that cannot be set up costs only the known-device entries: the inquiry still
  // finds the devices and the host still gets its scan-done.
  Ref<DeviceWatcher> watcher;
  try {
    watcher = newWatcher();
  } catch (const hresult_error& e) {
    logWatcherFailure(e);
  }
  scanDeviceCount.exchange(0);
  if (watcher) {
    try {
      platform::startWatcher(watcher);
      logLine("[scan] наблюдатель запущен, состояние=" +
              std::to_string(platform::watcherStatus(watcher)));
    } catch (const hresult_error& e) {
      logWatcherFailure(e);
    }
  }

  try {
    std::thread(runScan, seconds, scan).detach();
  } catch (const std::system_error& e) {
    // Without a scan thread no inquiry runs; end the scan here so the host is not left waiting.
    logLine(std::string("[scan] не удалось запустить поток опроса: ") + e.what());
    endScan(scan);
  }
}

void abandonScans() {
  for (const OperationRef& scan : scans().all()) {
    if (!scan->claim()) continue;
    logLine("[scan] опрос прерван: адаптер недоступен");
    report(
        {.kind = Kind::scanDone, .id = scan->id, .code = Code::adapterOff, .text = adapterOffText});
  }
  // The inquiry runs to its end on its own thread; the watcher stops now.
  if (auto watcher = currentWatcher()) stopWatcherQuietly(watcher);
}
