// The device watcher over BlueZ's object list, and the classic device search as a discovery
// session of the adapter.
//
// The watcher: Start reports, on a platform thread, every Device1 already under the first
// adapter whose pairing state the selector asks for, then EnumerationCompleted; after that each
// Device1 BlueZ adds under the adapter (InterfacesAdded), each path once per run. Stop is
// accepted while Started or EnumerationCompleted.
//
// The search: with an inquiry it runs a BR/EDR discovery for multiplier x 1.28 s, then lists
// every Device1 under the adapter, heard now or remembered from before.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/bluez/bus.h"
#include "platform/bluez/discovery.h"
#include "platform/bluez/objects.h"
#include "platform/bluez/translate.h"
#include "platform/platform.h"
#include "platform/posix/device_search.h"
#include "platform/posix/watcher.h"

namespace platform {

namespace {

// E_ILLEGAL_METHOD_CALL, as the Windows Runtime refuses a Start or Stop out of turn.
const hresult_error illegalMethodCall{static_cast<int32_t>(0x8000000E),
                                      u"A method was called at an unexpected time."};
constexpr uint32_t errorInvalidParameter = 87;
constexpr uint32_t errorDeviceNotConnected = 1167;

const String pairedSelector = u"bluez:Device1.Paired=true";
const String unpairedSelector = u"bluez:Device1.Paired=false";

}  // namespace

struct DeviceWatcher : posix::Watcher {
  // All guarded by the watcher's lock.
  std::string adapter;
  uint64_t reportedRun = 0;
  std::set<std::string> reported;  // paths reported in the run reportedRun

  // Reports one device when it belongs to this run and was not reported in it yet.
  void offer(uint64_t which, const std::string& path, const bluez::Properties& properties) {
    bool paired = bluez::value<bool>(properties, "Paired");
    if (!wants(paired)) return;
    report(which, std::make_shared<DeviceInformation>(DeviceInformation{path, paired, nullptr}),
           [&] {
             if (std::exchange(reportedRun, which) != which) reported.clear();
             return reported.insert(path).second;
           });
  }
};

namespace {

// Watchers that may be running, for the InterfacesAdded handler.
struct LiveWatchers {
  std::mutex lock;
  std::vector<std::weak_ptr<DeviceWatcher>> watchers;
  bool subscribed = false;
};

LiveWatchers& liveWatchers() {
  static auto* instance = new LiveWatchers;
  return *instance;
}

// Runs on the dispatch thread: the reports go to a platform thread.
void onAdded(const std::string& path, const bluez::Interfaces& interfaces) {
  auto device = interfaces.find(bluez::deviceInterface);
  if (device == interfaces.end()) return;
  std::vector<std::shared_ptr<DeviceWatcher>> watchers;
  {
    auto& live = liveWatchers();
    std::lock_guard guard(live.lock);
    std::erase_if(live.watchers, [](const auto& w) { return w.expired(); });
    for (const auto& w : live.watchers)
      if (auto watcher = w.lock()) watchers.push_back(std::move(watcher));
  }
  if (watchers.empty()) return;
  posix::runOnPlatformThread([watchers, path, properties = device->second] {
    for (const auto& watcher : watchers) {
      uint64_t run;
      std::string adapter;
      {
        std::lock_guard guard(watcher->lock);
        run = watcher->run;
        adapter = watcher->adapter;
      }
      if (adapter.empty() || path.compare(0, adapter.size() + 1, adapter + "/") != 0) continue;
      if (path.find('/', adapter.size() + 1) != std::string::npos) continue;
      watcher->offer(run, path, properties);
    }
  });
}

void subscribe(const std::shared_ptr<DeviceWatcher>& watcher) {
  auto& live = liveWatchers();
  bool first;
  {
    std::lock_guard guard(live.lock);
    live.watchers.push_back(watcher);
    first = !std::exchange(live.subscribed, true);
  }
  if (first) bluez::onInterfacesAdded(onAdded);
}

// The name a search record carries: the user's alias, else the remote name, else none (the
// core then shows the address). BlueZ's made-up alias, the address with dashes, is no name.
String deviceName(const bluez::Properties& properties, const std::string& address) {
  std::string alias = bluez::value<std::string>(properties, "Alias");
  if (alias.empty() || alias == bluez::dashedAddress(address))
    alias = bluez::value<std::string>(properties, "Name");
  return bluez::toUtf16(alias);
}

}  // namespace

String deviceSelectorFromPairingState(bool paired) {
  return paired ? pairedSelector : unpairedSelector;
}

Ref<DeviceWatcher> createWatcher(const String& selector) {
  auto watcher = std::make_shared<DeviceWatcher>();
  watcher->wantsPaired = selector.find(pairedSelector) != String::npos;
  watcher->wantsUnpaired = selector.find(unpairedSelector) != String::npos;
  return watcher;
}

void addWatcherAdded(const Ref<DeviceWatcher>& watcher, posix::Watcher::AddedHandler handler) {
  watcher->addAdded(std::move(handler));
}

void addWatcherEnumerationCompleted(const Ref<DeviceWatcher>& watcher,
                                    posix::Watcher::PlainHandler handler) {
  watcher->addEnumerationCompleted(std::move(handler));
}

void addWatcherStopped(const Ref<DeviceWatcher>& watcher, posix::Watcher::PlainHandler handler) {
  watcher->addStopped(std::move(handler));
}

void startWatcher(const Ref<DeviceWatcher>& watcher) {
  uint64_t run = watcher->start(illegalMethodCall);
  // The work holds the watcher: it outlives any release by the caller.
  posix::runOnPlatformThread([watcher, run] {
    bluez::ManagedObjects objects;
    try {
      // Subscribed before the list is read, so a device added meanwhile is not missed.
      subscribe(watcher);
      objects = bluez::managedObjects();
    } catch (const sdbus::Error&) {
      watcher->abort(run);
      return;
    }
    std::string adapter = bluez::adapterPath(objects);
    {
      std::lock_guard guard(watcher->lock);
      watcher->adapter = adapter;
    }
    for (const auto& [path, properties] : bluez::devicesOf(objects, adapter))
      watcher->offer(run, path, *properties);
    watcher->completeEnumeration(run);
  });
}

int32_t watcherStatus(const Ref<DeviceWatcher>& watcher) {
  return watcher->currentStatus();
}

void stopWatcher(const Ref<DeviceWatcher>& watcher) {
  watcher->beginStop(illegalMethodCall);
  posix::runOnPlatformThread([watcher] { watcher->finishStop(); });
}

String deviceInformationId(const Ref<DeviceInformation>& info) {
  return bluez::toUtf16(info->path);
}

DeviceSearch* findFirstDevice(const DeviceSearchParams& params, DeviceSearchInfo& info) {
  std::vector<DeviceSearchInfo> results;
  try {
    std::string adapter = bluez::adapterPath(bluez::managedObjects());
    if (adapter.empty()) {
      posix::setLastError(errorDeviceNotConnected);
      return nullptr;
    }
    if (params.issueInquiry) {
      if (params.timeoutMultiplier == 0 || params.timeoutMultiplier > bluez::maxInquiryUnits) {
        posix::setLastError(errorInvalidParameter);
        return nullptr;
      }
      bluez::beginDiscovery(adapter);
      std::this_thread::sleep_for(std::chrono::microseconds(1280000) * params.timeoutMultiplier);
      bluez::endDiscovery(adapter);
    }
    bluez::ManagedObjects objects = bluez::managedObjects();
    for (const auto& [path, properties] : bluez::devicesOf(objects, adapter)) {
      bool paired = bluez::value<bool>(*properties, "Paired");
      bool remembered = paired || bluez::value<bool>(*properties, "Trusted");
      bool connected = bluez::value<bool>(*properties, "Connected");
      bool wanted = (params.returnAuthenticated && paired) ||
                    (params.returnRemembered && remembered) ||
                    (params.returnConnected && connected) || (params.returnUnknown && !remembered);
      if (!params.issueInquiry && !remembered) wanted = false;
      if (!wanted) continue;
      std::string text = bluez::value<std::string>(*properties, "Address");
      auto address = bluez::parseAddress(text);
      if (!address) continue;
      results.push_back(DeviceSearchInfo{*address, paired ? 1 : 0, deviceName(*properties, text)});
    }
  } catch (const sdbus::Error& e) {
    posix::setLastError(bluez::errorMeaning(e.getName()).win32);
    return nullptr;
  }
  return posix::startSearch(std::move(results), info);
}

}  // namespace platform

namespace bluez {

namespace {

// How long a device BlueZ forgot is looked for: four inquiry units. A discoverable phone in range
// answers within two (its inquiry scan comes every 1.28 s); an address nobody has ends no sooner.
constexpr auto findPatience = std::chrono::milliseconds(5120);

// Discovery sessions of this process.
struct Discovery {
  std::mutex lock;
  int users = 0;
};

Discovery& discovery() {
  static auto* instance = new Discovery;
  return *instance;
}

// Devices being looked for, by path, and whether BlueZ listed them since.
struct Sought {
  std::mutex lock;
  std::condition_variable arrived;
  std::map<std::string, int> paths;  // path, lookups waiting for it
  std::set<std::string> found;
};

Sought& sought() {
  static auto* instance = [] {
    auto* created = new Sought;
    // On the dispatch thread: only notes the arrival.
    onInterfacesAdded([created](const std::string& path, const Interfaces& interfaces) {
      if (!interfaces.count(deviceInterface)) return;
      std::lock_guard guard(created->lock);
      if (!created->paths.count(path)) return;
      created->found.insert(path);
      created->arrived.notify_all();
    });
    return created;
  }();
  return *instance;
}

bool listed(const std::string& path) {
  try {
    deviceProperties(path);
    return true;
  } catch (const sdbus::Error& e) {
    if (isMissingObject(e)) return false;
    throw;
  }
}

std::string discoverDevice(const std::string& adapter, uint64_t address) {
  std::string path = devicePath(adapter, address);
  auto& s = sought();
  {
    std::lock_guard guard(s.lock);
    ++s.paths[path];
  }
  bool found = false, discovering = false;
  try {
    beginDiscovery(adapter);
    discovering = true;
    // Listed between the caller's look and the discovery's start.
    found = listed(path);
    std::unique_lock guard(s.lock);
    found = found || s.arrived.wait_for(guard, findPatience, [&] { return s.found.count(path); });
  } catch (const sdbus::Error&) {
    // The adapter cannot discover (off, or gone): the device is not to be found.
  }
  if (discovering) endDiscovery(adapter);
  std::lock_guard guard(s.lock);
  if (--s.paths[path] == 0) {
    s.paths.erase(path);
    s.found.erase(path);
  }
  return found ? path : std::string();
}

}  // namespace

void beginDiscovery(const std::string& adapter) {
  auto& d = discovery();
  std::lock_guard guard(d.lock);
  // Asked again even when a session of ours runs: a service that restarted meanwhile forgot it.
  auto& a = proxy(adapter);
  std::map<std::string, sdbus::Variant> filter{{"Transport", sdbus::Variant(std::string("bredr"))}};
  a.callMethod("SetDiscoveryFilter").onInterface(adapterInterface).withArguments(filter);
  try {
    a.callMethod("StartDiscovery").onInterface(adapterInterface);
  } catch (const sdbus::Error& e) {
    if (e.getName() != "org.bluez.Error.InProgress") throw;
  }
  ++d.users;
}

void endDiscovery(const std::string& adapter) {
  auto& d = discovery();
  std::lock_guard guard(d.lock);
  if (--d.users > 0) return;
  try {
    proxy(adapter).callMethod("StopDiscovery").onInterface(adapterInterface);
  } catch (const sdbus::Error&) {
    // Already stopped (the adapter went away or was powered off): nothing left to end.
  }
}

std::string findDevice(uint64_t address) {
  ManagedObjects objects = managedObjects();
  std::string adapter = adapterPath(objects);
  if (adapter.empty()) return {};
  for (const auto& [path, properties] : devicesOf(objects, adapter))
    if (parseAddress(value<std::string>(*properties, "Address")) == address) return path;
  return discoverDevice(adapter, address);
}

std::string findDevice(const std::string& path) {
  auto parts = parseDevicePath(path);
  if (!parts) return listed(path) ? path : std::string();
  return findDevice(parts->address);
}

}  // namespace bluez
