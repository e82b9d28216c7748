// The device watcher.
#include "classes.h"

#include <atomic>
#include <map>
#include <mutex>

#include "failures.h"

namespace stack {

namespace {

using winrt::implements;
using winrt::make;

using AddedHandler = wf::TypedEventHandler<wde::DeviceWatcher, wde::DeviceInformation>;
using PlainHandler = wf::TypedEventHandler<wde::DeviceWatcher, wf::IInspectable>;

struct Watcher : implements<Watcher, wde::IDeviceWatcher> {
  explicit Watcher(Ref<platform::DeviceWatcher> w)
      : model_(std::move(w)), name_(label("DeviceWatcher")) {}

  template <typename Handler, typename Register, typename Call>
  winrt::event_token add(const char* event, std::map<int64_t, Handler>& table,
                         const Handler& handler, Register registerWithModel, Call call) {
    trace(name_ + "." + event + " add");
    winrt::event_token token{++nextToken_};
    model([&] {
      auto weak = get_weak();
      registerWithModel([weak, token, &table, event, call](auto&&... args) {
        auto self = weak.get();
        if (!self) return;
        Handler h;
        {
          std::lock_guard guard(self->lock_);
          auto it = table.find(token.value);
          if (it == table.end()) return;
          h = it->second;
        }
        trace(self->name_ + "." + event + " raised");
        callHandler(self->name_ + "." + event,
                    [&] { call(h, self.template as<wde::DeviceWatcher>(), args...); });
      });
    });
    std::lock_guard guard(lock_);
    table[token.value] = handler;
    return token;
  }

  winrt::event_token Added(const AddedHandler& handler) {
    return add(
        "Added", added_, handler, [&](auto f) { platform::addWatcherAdded(model_, f); },
        [](const AddedHandler& h, const wde::DeviceWatcher& sender,
           const Ref<platform::DeviceInformation>& info) { h(sender, wrapInformation(info)); });
  }
  void Added(const winrt::event_token& token) { remove(added_, token); }
  winrt::event_token EnumerationCompleted(const PlainHandler& handler) {
    return add(
        "EnumerationCompleted", enumerated_, handler,
        [&](auto f) { platform::addWatcherEnumerationCompleted(model_, f); },
        [](const PlainHandler& h, const wde::DeviceWatcher& sender) { h(sender, nullptr); });
  }
  void EnumerationCompleted(const winrt::event_token& token) { remove(enumerated_, token); }
  winrt::event_token Stopped(const PlainHandler& handler) {
    return add(
        "Stopped", stopped_, handler, [&](auto f) { platform::addWatcherStopped(model_, f); },
        [](const PlainHandler& h, const wde::DeviceWatcher& sender) { h(sender, nullptr); });
  }
  void Stopped(const winrt::event_token& token) { remove(stopped_, token); }

  template <typename Handler>
  void remove(std::map<int64_t, Handler>& table, const winrt::event_token& token) {
    std::lock_guard guard(lock_);
    table.erase(token.value);
  }

  void Start() {
    trace(name_ + ".Start");
    int32_t before = platform::watcherStatus(model_);
    try {
      platform::startWatcher(model_);
    } catch (const platform::hresult_error& e) {
      // A started watcher refuses a second Start.
      if (e.code == illegalMethodCall)
        refuse(name_ + ".Start", e.code, "status " + std::to_string(before));
      raise(e);
    }
  }
  void Stop() {
    trace(name_ + ".Stop");
    int32_t before = platform::watcherStatus(model_);
    try {
      platform::stopWatcher(model_);
    } catch (const platform::hresult_error& e) {
      refuse(name_ + ".Stop", e.code, "status " + std::to_string(before));
    }
  }
  wde::DeviceWatcherStatus Status() const {
    int32_t status = platform::watcherStatus(model_);
    trace(name_ + ".Status -> " + std::to_string(status));
    return static_cast<wde::DeviceWatcherStatus>(status);
  }
  UNUSED_MEMBER(Updated)
  UNUSED_MEMBER(Removed)

  Ref<platform::DeviceWatcher> model_;
  std::string name_;
  std::mutex lock_;
  std::map<int64_t, AddedHandler> added_;
  std::map<int64_t, PlainHandler> enumerated_;
  std::map<int64_t, PlainHandler> stopped_;
  std::atomic<int64_t> nextToken_{0};
};

std::string propertiesText(const wfc::IIterable<hstring>& properties) {
  if (!properties) return "null";
  std::string text = "[";
  for (const auto& p : properties) text += quoted(p) + " ";
  return text + "]";
}

}  // namespace

wde::DeviceWatcher createWatcher(const hstring& selector, const wfc::IIterable<hstring>& properties,
                                 wde::DeviceInformationKind kind) {
  return traced<Watcher, wde::DeviceWatcher>(
      "DeviceInformation.CreateWatcher selector=" + quoted(selector) + " properties=" +
          propertiesText(properties) + " kind=" + std::to_string(static_cast<int32_t>(kind)),
      model([&] { return platform::createWatcher(units(selector)); }));
}

}  // namespace stack
