// The device watcher on the adapter selector: an adapter plugged in (Added) or removed
// (Removed), from the model's adapter (state.h). After the first enumeration it raises them only
// to a watcher with Added, Removed and Updated all handled (DeviceWatcher: "If an app handles
// only the added event, it will not receive an update if a device is added to the system after
// the initial device enumeration completes"). Start and Stop as the device watcher's.
#include "classes.h"

#include <map>
#include <mutex>

#include "failures.h"
#include "platform/sim/objects.h"
#include "platform/sim/runtime.h"

namespace stack {

namespace {

using winrt::implements;
using winrt::make_self;

using AddedHandler = wf::TypedEventHandler<wde::DeviceWatcher, wde::DeviceInformation>;
using UpdateHandler = wf::TypedEventHandler<wde::DeviceWatcher, wde::DeviceInformationUpdate>;
using PlainHandler = wf::TypedEventHandler<wde::DeviceWatcher, wf::IInspectable>;

bool present(const sim::AdapterNow& now) {
  return now.state != platform::AdapterState::absent;
}

struct AdapterWatcher : implements<AdapterWatcher, wde::IDeviceWatcher> {
  AdapterWatcher() : name_(label("DeviceWatcher")) {}

  winrt::event_token Added(const AddedHandler& h) { return add("Added", added_, h); }
  void Added(const winrt::event_token& t) { remove(added_, t); }
  winrt::event_token Removed(const UpdateHandler& h) { return add("Removed", removed_, h); }
  void Removed(const winrt::event_token& t) { remove(removed_, t); }
  winrt::event_token Updated(const UpdateHandler& h) { return add("Updated", updated_, h); }
  void Updated(const winrt::event_token& t) { remove(updated_, t); }
  winrt::event_token EnumerationCompleted(const PlainHandler& h) {
    return add("EnumerationCompleted", enumerated_, h);
  }
  void EnumerationCompleted(const winrt::event_token& t) { remove(enumerated_, t); }
  winrt::event_token Stopped(const PlainHandler& h) { return add("Stopped", stopped_, h); }
  void Stopped(const winrt::event_token& t) { remove(stopped_, t); }

  void Start() {
    trace(name_ + ".Start");
    uint64_t run;
    {
      std::lock_guard guard(lock_);
      if (status_ != wde::DeviceWatcherStatus::Created &&
          status_ != wde::DeviceWatcherStatus::Stopped &&
          status_ != wde::DeviceWatcherStatus::Aborted)
        refuse(name_ + ".Start", illegalMethodCall, "status " + statusText());
      status_ = wde::DeviceWatcherStatus::Started;
      run = ++runs_;
    }
    sim::post(0, [self = get_strong(), run] {
      sim::AdapterNow now = sim::adapterNow();
      if (present(now)) self->raiseAdded(now.instance);
      {
        std::lock_guard guard(self->lock_);
        if (run != self->runs_ || self->status_ != wde::DeviceWatcherStatus::Started) return;
        self->status_ = wde::DeviceWatcherStatus::EnumerationCompleted;
      }
      self->raise("EnumerationCompleted", self->enumerated_, nullptr);
    });
  }
  void Stop() {
    trace(name_ + ".Stop");
    {
      std::lock_guard guard(lock_);
      if (status_ != wde::DeviceWatcherStatus::Started &&
          status_ != wde::DeviceWatcherStatus::EnumerationCompleted)
        refuse(name_ + ".Stop", illegalMethodCall, "status " + statusText());
      status_ = wde::DeviceWatcherStatus::Stopping;
    }
    sim::post(0, [self = get_strong()] {
      {
        std::lock_guard guard(self->lock_);
        self->status_ = wde::DeviceWatcherStatus::Stopped;
      }
      self->raise("Stopped", self->stopped_, nullptr);
    });
  }
  wde::DeviceWatcherStatus Status() const {
    std::lock_guard guard(lock_);
    trace(name_ + ".Status -> " + statusText());
    return status_;
  }

  // The model's adapter changed.
  void changed(const sim::AdapterNow& before, const sim::AdapterNow& after) {
    bool gone = present(before) && (!present(after) || after.instance != before.instance);
    bool came = present(after) && (!present(before) || after.instance != before.instance);
    if (!gone && !came) return;
    {
      std::lock_guard guard(lock_);
      if (status_ != wde::DeviceWatcherStatus::Started &&
          status_ != wde::DeviceWatcherStatus::EnumerationCompleted)
        return;
      if (status_ == wde::DeviceWatcherStatus::EnumerationCompleted &&
          (added_.empty() || removed_.empty() || updated_.empty())) {
        trace(name_ + " raises nothing: Added, Removed and Updated are not all handled");
        return;
      }
    }
    if (gone)
      raise("Removed", removed_,
            wrapUpdate(adapterInterfaceId(before.instance),
                       wde::DeviceInformationKind::DeviceInterface));
    if (came) raiseAdded(after.instance);
  }

 private:
  template <typename Handler>
  winrt::event_token add(const char* event, std::map<int64_t, Handler>& table, const Handler& h) {
    trace(name_ + "." + event + " add");
    std::lock_guard guard(lock_);
    winrt::event_token token{++nextToken_};
    table[token.value] = h;
    return token;
  }
  template <typename Handler>
  void remove(std::map<int64_t, Handler>& table, const winrt::event_token& token) {
    std::lock_guard guard(lock_);
    table.erase(token.value);
  }

  void raiseAdded(uint32_t instance) {
    auto record = std::make_shared<platform::DeviceInformation>(
        platform::DeviceInformation{units(adapterInterfaceId(instance)), nullptr});
    raise("Added", added_, wrapInformation(record, wde::DeviceInformationKind::DeviceInterface));
  }

  template <typename Handler, typename Args>
  void raise(const char* event, std::map<int64_t, Handler>& table, const Args& args) {
    std::map<int64_t, Handler> handlers;
    {
      std::lock_guard guard(lock_);
      handlers = table;
    }
    auto self = get_strong().template as<wde::DeviceWatcher>();
    for (const auto& [token, handler] : handlers) {
      trace(name_ + "." + event + " raised");
      callHandler(name_ + "." + event, [&, h = handler] { h(self, args); });
    }
  }

  std::string statusText() const { return std::to_string(static_cast<int32_t>(status_)); }

 public:
  const std::string name_;

 private:
  mutable std::mutex lock_;  // guards everything below
  wde::DeviceWatcherStatus status_ = wde::DeviceWatcherStatus::Created;
  uint64_t runs_ = 0;
  std::map<int64_t, AddedHandler> added_;
  std::map<int64_t, UpdateHandler> removed_;
  std::map<int64_t, UpdateHandler> updated_;
  std::map<int64_t, PlainHandler> enumerated_;
  std::map<int64_t, PlainHandler> stopped_;
  int64_t nextToken_ = 0;
};

}  // namespace

wde::DeviceWatcher createAdapterWatcher() {
  auto watcher = make_self<AdapterWatcher>();
  trace("DeviceInformation.CreateWatcher adapters -> " + watcher->name_);
  followAdapterChanges(
      [weak = watcher->get_weak()](const sim::AdapterNow& before, const sim::AdapterNow& after) {
        auto self = weak.get();
        if (!self) return false;
        self->changed(before, after);
        return true;
      });
  return watcher.as<wde::DeviceWatcher>();
}

}  // namespace stack
