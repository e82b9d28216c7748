// The adapter in use and its state, followed through BlueZ's own signals: the adapter's Powered,
// adapters added and removed, and the service's owner on the bus. No polling: each signal queues
// an observation, and one platform thread at a time turns the queue into states for the core.
#include "platform/bluez/adapter.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "platform/bluez/agent.h"
#include "platform/bluez/hci.h"
#include "platform/bluez/translate.h"
#include "platform/posix/pool.h"

namespace bluez {

namespace {

bool sameText(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

// The adapter named in the environment, read once.
const std::string& wantedAdapter() {
  static const std::string wanted = [] {
    const char* text = std::getenv("QUINTEL_BT_ADAPTER");
    return std::string(text ? text : "");
  }();
  return wanted;
}

struct Choice {
  std::mutex lock;  // guards inUse
  AdapterEntry inUse;
};

Choice& choice() {
  static auto* instance = new Choice;
  return *instance;
}

std::string pathInUse() {
  auto& c = choice();
  std::lock_guard guard(c.lock);
  return c.inUse.path;
}

}  // namespace

bool adapterNamed(const AdapterEntry& adapter, std::string_view wanted) {
  if (wanted.empty()) return true;
  std::string_view name(adapter.path);
  name = name.substr(name.rfind('/') + 1);
  return sameText(adapter.address, wanted) || name == wanted;
}

std::optional<size_t> pickAdapter(const std::vector<AdapterEntry>& adapters,
                                  std::string_view wanted, const AdapterEntry& before) {
  std::optional<size_t> first, sameAddress;
  for (size_t i = 0; i < adapters.size(); ++i) {
    const auto& adapter = adapters[i];
    if (!adapterNamed(adapter, wanted)) continue;
    if (!before.path.empty() && adapter.path == before.path) return i;
    if (!sameAddress && !before.address.empty() && sameText(adapter.address, before.address))
      sameAddress = i;
    if (!first) first = i;
  }
  return sameAddress ? sameAddress : first;
}

std::string adapterPath(const ManagedObjects& objects) {
  std::vector<AdapterEntry> adapters;
  for (const auto& [path, interfaces] : objects) {
    auto it = interfaces.find(adapterInterface);
    if (it != interfaces.end())
      adapters.push_back({path, value<std::string>(it->second, "Address")});
  }
  auto& c = choice();
  std::lock_guard guard(c.lock);
  auto picked = pickAdapter(adapters, wantedAdapter(), c.inUse);
  if (!picked) return {};
  // The one left behind is still remembered by address, should it come back.
  c.inUse = adapters[*picked];
  return c.inUse.path;
}

platform::AdapterState adapterState(const ManagedObjects& objects) {
  std::string path = adapterPath(objects);
  if (path.empty()) return platform::AdapterState::absent;
  const auto& properties = objects.at(sdbus::ObjectPath(path)).at(adapterInterface);
  return value<bool>(properties, "Powered") ? platform::AdapterState::on
                                            : platform::AdapterState::off;
}

namespace {

using platform::AdapterState;

// What a signal said, in the order the signals came.
struct Observation {
  enum Kind { serviceGone, serviceBack, adapterAdded, adapterRemoved, powered } kind;
  std::string path;
  bool on = false;
};

struct Tracker {
  std::mutex lock;  // guards everything below but `turn`
  bool watching = false;
  bool draining = false;  // a platform thread is working through the queue
  std::deque<Observation> queue;
  std::function<void(AdapterState)> changed;
  std::optional<AdapterState> last;
  std::optional<AdapterState> told;  // the last state the core has taken in
  std::condition_variable reported;  // told changed
  std::mutex turn;                   // one evaluation and report at a time
};

Tracker& tracker() {
  static auto* instance = new Tracker;
  return *instance;
}

AdapterState evaluate() {
  try {
    return adapterState(managedObjects());
  } catch (const sdbus::Error&) {
    // The service is not there (or not yet answering): nothing can be done with an adapter.
    return AdapterState::absent;
  }
}

// With `turn` held. Those waiting for the news go on once the core has taken it in.
void report(Tracker& t, AdapterState state) {
  std::function<void(AdapterState)> changed;
  {
    std::lock_guard guard(t.lock);
    if (t.last == state) return;
    t.last = state;
    changed = t.changed;
  }
  if (changed) changed(state);
  std::lock_guard guard(t.lock);
  t.told = state;
  t.reported.notify_all();
}

// With `turn` held. Whatever was in flight when the adapter in use went away failed with it, so
// its going is reported even when another adapter is taken at once.
void process(Tracker& t, const Observation& o) {
  switch (o.kind) {
    case Observation::serviceGone:
      report(t, AdapterState::absent);
      return;
    case Observation::serviceBack:
    case Observation::adapterAdded:
      registerAgain();
      report(t, evaluate());
      return;
    case Observation::adapterRemoved:
      if (o.path == pathInUse()) report(t, AdapterState::absent);
      report(t, evaluate());
      return;
    case Observation::powered: {
      std::string inUse = pathInUse();
      if (o.path == inUse)
        report(t, o.on ? AdapterState::on : AdapterState::off);
      else if (inUse.empty())
        report(t, evaluate());
      return;
    }
  }
}

void drain() {
  auto& t = tracker();
  for (;;) {
    Observation next;
    {
      std::lock_guard guard(t.lock);
      if (t.queue.empty()) {
        t.draining = false;
        return;
      }
      next = std::move(t.queue.front());
      t.queue.pop_front();
    }
    std::lock_guard turn(t.turn);
    process(t, next);
  }
}

// On the dispatch thread: queues and returns.
void observe(Observation o) {
  auto& t = tracker();
  std::lock_guard guard(t.lock);
  if (!t.watching) return;
  t.queue.push_back(std::move(o));
  if (std::exchange(t.draining, true)) return;
  posix::runOnPlatformThread(drain);
}

bool isAdapter(const std::string& interface) {
  return interface == adapterInterface;
}

void subscribe() {
  onServiceOwner([](bool present) {
    observe({present ? Observation::serviceBack : Observation::serviceGone, {}});
  });
  onInterfacesAdded([](const std::string& path, const Interfaces& interfaces) {
    if (interfaces.count(adapterInterface)) observe({Observation::adapterAdded, path});
  });
  onInterfacesRemoved([](const std::string& path, const std::vector<std::string>& interfaces) {
    if (std::any_of(interfaces.begin(), interfaces.end(), isAdapter))
      observe({Observation::adapterRemoved, path});
  });
  onAdapterChanged([](const std::string& path, const Properties& changed) {
    auto it = changed.find("Powered");
    if (it != changed.end() && it->second.containsValueOfType<bool>())
      observe({Observation::powered, path, it->second.get<bool>()});
  });
}

}  // namespace

bool awaitAdapterLeavesOn(std::chrono::milliseconds limit) {
  auto& t = tracker();
  std::unique_lock guard(t.lock);
  return t.reported.wait_for(guard, limit, [&] { return t.told != AdapterState::on; });
}

void awaitAdapterNews(const std::string& devicePath) {
  auto parts = parseDevicePath(devicePath);
  if (parts && !controllerServing(parts->controller)) awaitAdapterLeavesOn(adapterNewsPatience);
}

void awaitAdapterNews(const std::string& devicePath, const sdbus::Error& failure) {
  const std::string& name = failure.getName();
  // NoReply is also a call's own timeout; the wait costs nothing then.
  if (name == "org.freedesktop.DBus.Error.NoReply" ||
      name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
      name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
      name == "org.freedesktop.DBus.Error.Disconnected")
    awaitAdapterLeavesOn(adapterNewsPatience);
  else
    awaitAdapterNews(devicePath);
}

}  // namespace bluez

namespace platform {

AdapterState watchAdapter(std::function<void(AdapterState)> changed) {
  auto& t = bluez::tracker();
  try {
    bluez::subscribe();
  } catch (const sdbus::Error&) {
    // No system bus: there is nothing to follow, and nothing will come.
    return AdapterState::absent;
  }
  // Signals from here on are queued; they are worked through after the state now is known.
  std::lock_guard turn(t.turn);
  {
    std::lock_guard guard(t.lock);
    t.changed = std::move(changed);
    t.watching = true;
  }
  AdapterState now = bluez::evaluate();
  std::lock_guard guard(t.lock);
  t.last = t.told = now;
  return now;
}

}  // namespace platform
