// The default adapter: the start-up probe, and following it afterwards with the platform's own
// notifications, its radio's StateChanged and a device watcher on the adapter selector.
#include <mutex>

#include <winrt/Windows.Devices.Radios.h>

#include "platform/task.h"
#include "platform/windows/async.h"

namespace platform {

namespace {

namespace wdr = winrt::Windows::Devices::Radios;

// What follows the adapter: one for the process, never destroyed (its handlers may run while
// the process ends). Everything under `lock`; `changed` runs under it too, one call at a time.
struct Follower {
  std::mutex lock;
  std::function<void(AdapterState)> changed;
  AdapterState reported = AdapterState::on;
  // Adapters added or removed so far: a read begun before the latest one is out of date.
  uint64_t epoch = 0;
  winrt::hstring adapterId;  // DeviceId of the adapter followed; empty when there is none
  wdr::Radio radio{nullptr};
  winrt::event_token radioChanged{};
  wde::DeviceWatcher watcher{nullptr};
};

Follower& follower() {
  static auto* instance = new Follower;
  return *instance;
}

AdapterState stateOf(const wdr::Radio& radio) {
  // Without a radio object nothing says the radio is off.
  if (!radio) return AdapterState::on;
  return radio.State() == wdr::RadioState::On ? AdapterState::on : AdapterState::off;
}

void reportLocked(Follower& f, AdapterState state) {
  if (state == f.reported) return;
  f.reported = state;
  if (f.changed) f.changed(state);
}

void onRadioChanged(const wdr::Radio& sender, const wf::IInspectable&) {
  auto& f = follower();
  std::lock_guard guard(f.lock);
  // A radio left behind (its adapter was replaced) speaks for nothing now.
  if (!f.radio || winrt::get_abi(sender) != winrt::get_abi(f.radio)) return;
  try {
    reportLocked(f, stateOf(sender));
  } catch (const winrt::hresult_error&) {
    // Unreadable now: the next change reads it again.
  }
}

// Follows `radio` of `adapter` from now on; the state they give. Under the lock. The new
// radio's handler is registered before its state is read, so no change falls in between.
AdapterState settleLocked(Follower& f, const wdb::BluetoothAdapter& adapter, wdr::Radio radio) {
  if (winrt::get_abi(radio) != winrt::get_abi(f.radio)) {
    winrt::event_token token{};
    if (radio) {
      try {
        token = radio.StateChanged(onRadioChanged);
      } catch (const winrt::hresult_error&) {
        radio = nullptr;
      }
    }
    if (f.radio) {
      try {
        f.radio.StateChanged(f.radioChanged);
      } catch (const winrt::hresult_error&) {
        // The radio went with its adapter; its handler goes with it.
      }
    }
    f.radio = std::move(radio);
    f.radioChanged = token;
  }
  f.adapterId = adapter ? adapter.DeviceId() : winrt::hstring();
  return adapter ? stateOf(f.radio) : AdapterState::absent;
}

// What the default adapter and its radio are now, as read after the adapter event numbered
// `epoch`; another adapter that came or went meanwhile settles it instead, with its own read.
void settle(uint64_t epoch, const wdb::BluetoothAdapter& adapter, wdr::Radio radio) {
  auto& f = follower();
  std::lock_guard guard(f.lock);
  if (epoch != f.epoch) return;
  try {
    reportLocked(f, settleLocked(f, adapter, std::move(radio)));
  } catch (const winrt::hresult_error&) {
  }
}

// Reads the default adapter and its radio again after an adapter went.
fire_and_forget reread(uint64_t epoch) {
  wdb::BluetoothAdapter adapter{nullptr};
  wdr::Radio radio{nullptr};
  try {
    adapter = co_await fromOperation<wdb::BluetoothAdapter>(
        [] { return wdb::BluetoothAdapter::GetDefaultAsync(); });
    if (adapter)
      radio = co_await fromOperation<wdr::Radio>([&] { return adapter.GetRadioAsync(); });
  } catch (const hresult_error&) {
    // Unreadable now: what was reported stands until the next notification.
    co_return;
  }
  settle(epoch, adapter, std::move(radio));
}

// An adapter plugged in. It is read here, inside the handler, as a radio's change is: the core
// hears of it before the platform's notice is over, so a command sent once the adapter is back
// is served, not refused as if there were none (a host on protocol 1 has no adapter event to
// wait for). The watcher's thread is the platform's and none of our completions needs it.
void onAdapterAdded(const wde::DeviceWatcher&, const wde::DeviceInformation& added) {
  auto& f = follower();
  uint64_t epoch;
  try {
    std::lock_guard guard(f.lock);
    // The first enumeration names the adapter already followed: nothing to read.
    if (!f.adapterId.empty() && added.Id() == f.adapterId) return;
    epoch = ++f.epoch;
  } catch (const winrt::hresult_error&) {
    return;
  }
  wdb::BluetoothAdapter adapter{nullptr};
  wdr::Radio radio{nullptr};
  try {
    adapter = wdb::BluetoothAdapter::GetDefaultAsync().get();
    if (adapter) radio = adapter.GetRadioAsync().get();
  } catch (const winrt::hresult_error&) {
    // Unreadable now: what was reported stands until the next notification.
    return;
  }
  settle(epoch, adapter, std::move(radio));
}

// The adapter followed is gone at once; another may have become the default.
void onAdapterRemoved(const wde::DeviceWatcher&, const wde::DeviceInformationUpdate& update) {
  auto& f = follower();
  uint64_t epoch;
  {
    std::lock_guard guard(f.lock);
    epoch = ++f.epoch;
    try {
      if (!f.adapterId.empty() && update.Id() == f.adapterId)
        reportLocked(f, settleLocked(f, nullptr, nullptr));
    } catch (const winrt::hresult_error&) {
    }
  }
  reread(epoch);
}

// An adapter plugged in or removed; no polling. Windows raises Added after the first
// enumeration only to a watcher with Added, Removed and Updated all handled.
void startAdapterWatcher(Follower& f) {
  try {
    f.watcher = wde::DeviceInformation::CreateWatcher(wdb::BluetoothAdapter::GetDeviceSelector());
    f.watcher.Added(onAdapterAdded);
    f.watcher.Removed(onAdapterRemoved);
    f.watcher.Updated([](const wde::DeviceWatcher&, const wde::DeviceInformationUpdate&) {});
    f.watcher.Start();
  } catch (const winrt::hresult_error&) {
    // Without it the radio's own changes are still followed.
  }
}

}  // namespace

Async<Ref<BluetoothAdapter>> getDefaultAdapterAsync() {
  return fromOperation<Ref<BluetoothAdapter>>(
      [] { return wdb::BluetoothAdapter::GetDefaultAsync(); },
      wrap<BluetoothAdapter, wdb::BluetoothAdapter>);
}

bool isClassicSupported(const Ref<BluetoothAdapter>& adapter) {
  return winrtCall([&] { return adapter->value.IsClassicSupported(); });
}

AdapterState watchAdapter(std::function<void(AdapterState)> changed) {
  auto& f = follower();
  {
    std::lock_guard guard(f.lock);
    f.changed = std::move(changed);
    try {
      auto adapter = wdb::BluetoothAdapter::GetDefaultAsync().get();
      wdr::Radio radio = adapter ? adapter.GetRadioAsync().get() : nullptr;
      f.reported = settleLocked(f, adapter, std::move(radio));
    } catch (const winrt::hresult_error&) {
      // An adapter that cannot be read (its probe failed) is taken to be on, as before; the
      // watcher reads the next one plugged in.
    }
  }
  startAdapterWatcher(f);
  std::lock_guard guard(f.lock);
  return f.reported;
}

}  // namespace platform
