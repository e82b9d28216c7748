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
//
// The world as it is now (state.h): the watcher reports only phones in range while the radio
// is on air, and a run the adapter's removal (or a stack restart) catches is aborted. The
// inquiry hears only phones in range, and nothing once the radio goes off air, when it ends
// at once; the remembered and paired phones it cannot hear it still lists, once each, as
// Windows lists them from what it remembers. Without an adapter both searches find nothing.
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/device_search.h"
#include "platform/posix/watcher.h"
#include "platform/sim/objects.h"
#include "platform/sim/runtime.h"

namespace platform {

namespace {

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

}  // namespace

struct DeviceWatcher : posix::Watcher {};

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

void addWatcherAdded(const Ref<DeviceWatcher>& watcher, posix::Watcher::AddedHandler handler) {
  sim::raise(sim::world().addHandlerError);
  watcher->addAdded(std::move(handler));
}

void addWatcherEnumerationCompleted(const Ref<DeviceWatcher>& watcher,
                                    posix::Watcher::PlainHandler handler) {
  sim::raise(sim::world().addHandlerError);
  watcher->addEnumerationCompleted(std::move(handler));
}

void addWatcherStopped(const Ref<DeviceWatcher>& watcher, posix::Watcher::PlainHandler handler) {
  sim::raise(sim::world().addHandlerError);
  watcher->addStopped(std::move(handler));
}

void startWatcher(const Ref<DeviceWatcher>& watcher) {
  const auto& w = sim::world();
  sim::raise(w.startWatcherError);
  uint64_t run = watcher->start(w.error(illegalMethodCall));
  sim::onOutage(watcher, [self = watcher.get(), run](const sim::Outage& outage) {
    if (outage.adapterGone) self->abort(run);
  });
  // The thread holds the watcher: it outlives any release by the caller.
  sim::post(w.watcherAddedDelayMs, [watcher, run, &w] {
    for (const auto& d : w.devices) {
      if (!d.watcher || !watcher->wants(sim::isPaired(d))) continue;
      if (!sim::onAir() || !sim::inRange(d.address)) continue;
      if (!watcher->report(run, std::make_shared<DeviceInformation>(DeviceInformation{d.id, &d})))
        return;
    }
    if (!w.enumerationCompletes) return;
    sim::sleepMs(w.enumerationDelayMs);
    watcher->completeEnumeration(run);
  });
}

int32_t watcherStatus(const Ref<DeviceWatcher>& watcher) {
  if (auto forced = sim::world().watcherStatus) return *forced;
  return watcher->currentStatus();
}

void stopWatcher(const Ref<DeviceWatcher>& watcher) {
  const auto& w = sim::world();
  if (w.stopAlwaysRefused) throw w.error(w.stopRefusedCode);
  watcher->beginStop(w.error(w.stopRefusedCode));
  sim::post(0, [watcher] { watcher->finishStop(); });
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

  std::vector<DeviceSearchInfo> results;
  auto noRadio = [] {
    if (sim::airState() != AdapterState::absent) return false;
    posix::setLastError(errorNoMoreItems);
    return true;
  };
  if (!params.issueInquiry) {
    if (w.rememberedSearchError) {
      posix::setLastError(static_cast<uint32_t>(*w.rememberedSearchError));
      return nullptr;
    }
    if (noRadio()) return nullptr;
    for (const auto& d : w.devices)
      if ((d.remembered || sim::isPaired(d)) && wanted(d))
        results.push_back(record(d, sim::isPaired(d) ? 1 : 0));
  } else {
    // The radio accepts 1 to 48 units, as the OS does.
    if (params.timeoutMultiplier == 0 || params.timeoutMultiplier > 48) {
      posix::setLastError(errorInvalidParameter);
      return nullptr;
    }
    if (noRadio()) return nullptr;
    sim::Since mark = sim::since();
    if (sim::lost(mark) == sim::Loss::none)
      sim::waitOnAir(params.timeoutMultiplier * w.inquiryUnitMs, mark);
    if (w.inquirySearchError) {
      posix::setLastError(static_cast<uint32_t>(*w.inquirySearchError));
      return nullptr;
    }
    if (noRadio()) return nullptr;
    bool onAir = sim::lost(mark) == sim::Loss::none;
    auto heard = [&](const sim::Device& d) { return onAir && sim::inRange(d.address); };
    auto add = [&](const sim::Device& d) {
      if (!wanted(d)) return;
      int32_t authenticated = d.inquiryAuthenticated.value_or(sim::isPaired(d) ? 1 : 0);
      results.push_back(record(d, authenticated));
    };
    if (!w.inquiryOrder.empty()) {
      for (uint64_t address : w.inquiryOrder)
        if (const sim::Device* d = w.find(address); d && heard(*d)) add(*d);
    } else {
      for (const auto& d : w.devices)
        if (heard(d))
          for (int i = 0; i < d.heard; ++i) add(d);
    }
    for (const auto& d : w.devices)
      if (!heard(d) && (d.remembered || sim::isPaired(d))) add(d);
  }
  return posix::startSearch(std::move(results), info);
}

}  // namespace platform
