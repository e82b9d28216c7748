// Simulated device watcher and classic device search.
//
// The watcher: Start moves it to Started and, on a platform thread, raises Added for every
// device with `watcher yes` whose pairing state the selector asks for (after
// watcher-added-delay-ms), then EnumerationCompleted (after watcher-enumeration-delay-ms,
// unless watcher-enumeration no). Stop is accepted while Started or EnumerationCompleted:
// Stopping at once, then Stopped and the Stopped event on a platform thread. Any other Stop
// (or every Stop, with watcher-stop refuse-always) fails with watcher-stop-error.
//
// The search: without an inquiry it returns the remembered and the paired devices; with one
// it first sleeps multiplier x inquiry-unit-ms, then returns the heard devices (`heard`
// times each, or inquiry-order). Both honour the Return* flags.
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/objects.h"
#include "platform/sim/runtime.h"

namespace platform {

namespace {

using AddedHandler = std::function<void(const Ref<DeviceInformation>&)>;
using PlainHandler = std::function<void()>;

enum Status : int32_t {
  created = 0,
  started = 1,
  enumerationCompleted = 2,
  stopping = 3,
  stopped = 4
};

constexpr int32_t illegalMethodCall = static_cast<int32_t>(0x8000000E);
constexpr uint32_t errorInvalidParameter = 87;
// BLUETOOTH_MAX_NAME_SIZE is 248 units with the terminating zero.
constexpr size_t maxNameUnits = 247;

const String pairedSelector =
    u"System.Devices.Aep.ProtocolId:=\"{bluetooth}\" AND "
    u"System.Devices.Aep.IsPaired:=System.StructuredQueryType.Boolean#True";
const String unpairedSelector =
    u"System.Devices.Aep.ProtocolId:=\"{bluetooth}\" AND "
    u"System.Devices.Aep.IsPaired:=System.StructuredQueryType.Boolean#False";

// A handler's hresult_error goes back to the platform, which shrugs it off.
template <typename... Args>
void raiseEvent(const std::vector<std::function<void(Args...)>>& handlers,
                std::type_identity_t<Args>... args) {
  for (const auto& handler : handlers) {
    try {
      handler(args...);
    } catch (const hresult_error&) {
    }
  }
}

}  // namespace

struct DeviceWatcher {
  bool wantsPaired = false;
  bool wantsUnpaired = false;
  std::mutex lock;  // guards everything below; never held while a handler runs
  int32_t status = created;
  uint64_t run = 0;  // counts Starts, so a restarted watcher's old thread falls silent
  std::vector<AddedHandler> added;
  std::vector<PlainHandler> enumerated;
  std::vector<PlainHandler> stoppedHandlers;

  // True while the run `which` is still the live one.
  bool live(uint64_t which) {
    return run == which && (status == started || status == enumerationCompleted);
  }
};

struct DeviceSearch {
  std::vector<DeviceSearchInfo> results;
  size_t next = 0;
};

String deviceSelectorFromPairingState(bool paired) {
  sim::raise(sim::world().selectorError);
  return paired ? pairedSelector : unpairedSelector;
}

Ref<DeviceWatcher> createWatcher(const String& selector) {
  sim::raise(sim::world().createWatcherError);
  auto watcher = std::make_shared<DeviceWatcher>();
  watcher->wantsPaired = selector.find(pairedSelector) != String::npos;
  watcher->wantsUnpaired = selector.find(unpairedSelector) != String::npos;
  return watcher;
}

void addWatcherAdded(const Ref<DeviceWatcher>& watcher, AddedHandler handler) {
  sim::raise(sim::world().addHandlerError);
  std::lock_guard guard(watcher->lock);
  watcher->added.push_back(std::move(handler));
}

void addWatcherEnumerationCompleted(const Ref<DeviceWatcher>& watcher, PlainHandler handler) {
  sim::raise(sim::world().addHandlerError);
  std::lock_guard guard(watcher->lock);
  watcher->enumerated.push_back(std::move(handler));
}

void addWatcherStopped(const Ref<DeviceWatcher>& watcher, PlainHandler handler) {
  sim::raise(sim::world().addHandlerError);
  std::lock_guard guard(watcher->lock);
  watcher->stoppedHandlers.push_back(std::move(handler));
}

void startWatcher(const Ref<DeviceWatcher>& watcher) {
  const auto& w = sim::world();
  sim::raise(w.startWatcherError);
  uint64_t run;
  {
    std::lock_guard guard(watcher->lock);
    if (watcher->status != created && watcher->status != stopped) throw w.error(illegalMethodCall);
    watcher->status = started;
    run = ++watcher->run;
  }
  // The thread holds the watcher: it outlives any release by the caller.
  sim::post(w.watcherAddedDelayMs, [watcher, run, &w] {
    for (const auto& d : w.devices) {
      if (!d.watcher) continue;
      if (!(sim::isPaired(d) ? watcher->wantsPaired : watcher->wantsUnpaired)) continue;
      std::vector<AddedHandler> handlers;
      {
        std::lock_guard guard(watcher->lock);
        if (!watcher->live(run)) return;
        handlers = watcher->added;
      }
      raiseEvent(handlers, std::make_shared<DeviceInformation>(DeviceInformation{d.id, &d}));
    }
    if (!w.enumerationCompletes) return;
    sim::sleepMs(w.enumerationDelayMs);
    std::vector<PlainHandler> handlers;
    {
      std::lock_guard guard(watcher->lock);
      if (!watcher->live(run)) return;
      watcher->status = enumerationCompleted;
      handlers = watcher->enumerated;
    }
    raiseEvent(handlers);
  });
}

int32_t watcherStatus(const Ref<DeviceWatcher>& watcher) {
  if (auto forced = sim::world().watcherStatus) return *forced;
  std::lock_guard guard(watcher->lock);
  return watcher->status;
}

void stopWatcher(const Ref<DeviceWatcher>& watcher) {
  const auto& w = sim::world();
  {
    std::lock_guard guard(watcher->lock);
    if (w.stopAlwaysRefused || !watcher->live(watcher->run)) throw w.error(w.stopRefusedCode);
    watcher->status = stopping;
  }
  sim::post(0, [watcher] {
    std::vector<PlainHandler> handlers;
    {
      std::lock_guard guard(watcher->lock);
      watcher->status = stopped;
      handlers = watcher->stoppedHandlers;
    }
    raiseEvent(handlers);
  });
}

String deviceInformationId(const Ref<DeviceInformation>& info) {
  return info->id;
}

DeviceSearch* findFirstDevice(const DeviceSearchParams& params, DeviceSearchInfo& info) {
  const auto& w = sim::world();
  auto wanted = [&](const sim::Device& d) {
    bool paired = sim::isPaired(d);
    return (params.returnAuthenticated && paired) || (params.returnRemembered && d.remembered) ||
           (params.returnUnknown && !paired && !d.remembered);
  };
  auto record = [](const sim::Device& d, int32_t authenticated) {
    String name = d.name.substr(0, d.name.find(u'\0'));
    if (name.size() > maxNameUnits) name.resize(maxNameUnits);
    return DeviceSearchInfo{d.address, authenticated, std::move(name)};
  };

  auto search = std::make_unique<DeviceSearch>();
  if (!params.issueInquiry) {
    if (w.rememberedSearchError) {
      sim::setLastError(static_cast<uint32_t>(*w.rememberedSearchError));
      return nullptr;
    }
    for (const auto& d : w.devices)
      if ((d.remembered || sim::isPaired(d)) && wanted(d))
        search->results.push_back(record(d, sim::isPaired(d) ? 1 : 0));
  } else {
    // The radio accepts 1 to 48 units, as the OS does.
    if (params.timeoutMultiplier == 0 || params.timeoutMultiplier > 48) {
      sim::setLastError(errorInvalidParameter);
      return nullptr;
    }
    sim::sleepMs(params.timeoutMultiplier * w.inquiryUnitMs);
    if (w.inquirySearchError) {
      sim::setLastError(static_cast<uint32_t>(*w.inquirySearchError));
      return nullptr;
    }
    auto add = [&](const sim::Device& d) {
      if (!wanted(d)) return;
      int32_t authenticated = d.inquiryAuthenticated.value_or(sim::isPaired(d) ? 1 : 0);
      search->results.push_back(record(d, authenticated));
    };
    if (!w.inquiryOrder.empty()) {
      for (uint64_t address : w.inquiryOrder)
        if (const sim::Device* d = w.find(address)) add(*d);
    } else {
      for (const auto& d : w.devices)
        for (int i = 0; i < d.heard; ++i) add(d);
    }
  }
  if (search->results.empty()) {
    sim::setLastError(errorNoMoreItems);
    return nullptr;
  }
  info = search->results[search->next++];
  return search.release();
}

bool findNextDevice(DeviceSearch* search, DeviceSearchInfo& info) {
  if (search->next >= search->results.size()) {
    sim::setLastError(errorNoMoreItems);
    return false;
  }
  info = search->results[search->next++];
  return true;
}

void findDeviceClose(DeviceSearch* search) {
  delete search;
}

}  // namespace platform
