// The default adapter and its radio, following the model's adapter (state.h).
//
// Radio.StateChanged is raised when the radio of an adapter that is still there goes on or off;
// not when the adapter goes away (Radio.StateChanged: "When a USB Bluetooth radio is removed or
// otherwise goes offline, no state change is reported"). The radio of an adapter that went
// away keeps its last state: there is no "removed" state (Radio). An adapter plugged in again is
// another device with another interface id.
#include "classes.h"

#include <map>
#include <mutex>

#include <winrt/Windows.Devices.Radios.h>

#include "failures.h"
#include "operation.h"
#include "platform/sim/runtime.h"

namespace stack {

namespace {

using winrt::implements;
using winrt::make;
using winrt::make_self;
namespace wdr = winrt::Windows::Devices::Radios;

// The model's adapter as the double last heard of it, and who follows its changes. Never
// destroyed: the model's thread may call it while the process ends.
class AdapterHub {
 public:
  using Changed = std::function<bool(const sim::AdapterNow&, const sim::AdapterNow&)>;

  static AdapterHub& instance() {
    static auto* hub = new AdapterHub;
    return *hub;
  }

  void follow(Changed changed) {
    std::lock_guard guard(lock_);
    followers_[++lastId_] = std::move(changed);
  }

 private:
  AdapterHub() {
    std::lock_guard guard(lock_);
    last_ = sim::followAdapter([this](const sim::AdapterNow& now) { changed(now); }).first;
  }

  void changed(const sim::AdapterNow& now) {
    sim::AdapterNow before;
    std::map<uint64_t, Changed> followers;
    {
      std::lock_guard guard(lock_);
      before = std::exchange(last_, now);
      followers = followers_;
    }
    for (const auto& [id, follower] : followers) {
      if (follower(before, now)) continue;
      std::lock_guard guard(lock_);
      followers_.erase(id);
    }
  }

  std::mutex lock_;  // guards everything below
  sim::AdapterNow last_;
  std::map<uint64_t, Changed> followers_;
  uint64_t lastId_ = 0;
};

bool present(const sim::AdapterNow& now) {
  return now.state != platform::AdapterState::absent;
}

const char* stateText(wdr::RadioState state) {
  switch (state) {
    case wdr::RadioState::On:
      return "On";
    case wdr::RadioState::Off:
      return "Off";
    default:
      return "other";
  }
}

using RadioHandler = wf::TypedEventHandler<wdr::Radio, wf::IInspectable>;

struct Radio : implements<Radio, wdr::IRadio> {
  explicit Radio(uint32_t instance) : instance_(instance), name_(label("Radio")) { State(); }

  wdr::RadioState State() const {
    std::lock_guard guard(lock_);
    sim::AdapterNow now = sim::adapterNow();
    if (now.instance == instance_ && present(now))
      last_ = now.state == platform::AdapterState::on ? wdr::RadioState::On : wdr::RadioState::Off;
    trace(name_ + ".State -> " + stateText(last_));
    return last_;
  }
  winrt::event_token StateChanged(const RadioHandler& handler) {
    trace(name_ + ".StateChanged add");
    std::lock_guard guard(lock_);
    winrt::event_token token{++nextToken_};
    handlers_[token.value] = handler;
    return token;
  }
  void StateChanged(const winrt::event_token& token) {
    trace(name_ + ".StateChanged remove");
    std::lock_guard guard(lock_);
    handlers_.erase(token.value);
  }
  UNUSED_MEMBER(SetStateAsync)
  UNUSED_MEMBER(Name)
  UNUSED_MEMBER(Kind)

  // The model's adapter changed: only a radio still plugged in, going on or off, says so.
  void changed(const sim::AdapterNow& before, const sim::AdapterNow& after) {
    if (before.instance != instance_ || after.instance != instance_ || !present(before) ||
        !present(after) || before.state == after.state)
      return;
    std::map<int64_t, RadioHandler> handlers;
    {
      std::lock_guard guard(lock_);
      handlers = handlers_;
    }
    auto self = get_strong().as<wdr::Radio>();
    for (const auto& [token, handler] : handlers) {
      trace(name_ + ".StateChanged raised");
      callHandler(name_ + ".StateChanged", [&, h = handler] { h(self, nullptr); });
    }
  }

  const uint32_t instance_;
  const std::string name_;
  mutable std::mutex lock_;  // guards the three below
  mutable wdr::RadioState last_ = wdr::RadioState::Unknown;
  std::map<int64_t, RadioHandler> handlers_;
  int64_t nextToken_ = 0;
};

wdr::Radio makeRadio(uint32_t instance) {
  auto radio = make_self<Radio>(instance);
  AdapterHub::instance().follow(
      [weak = radio->get_weak()](const sim::AdapterNow& before, const sim::AdapterNow& after) {
        auto self = weak.get();
        if (!self) return false;
        self->changed(before, after);
        return true;
      });
  return radio.as<wdr::Radio>();
}

struct Adapter : implements<Adapter, wdb::IBluetoothAdapter> {
  Adapter(Ref<platform::BluetoothAdapter> a, uint32_t instance)
      : model_(std::move(a)), instance_(instance) {}
  bool IsClassicSupported() const {
    bool yes = platform::isClassicSupported(model_);
    trace("BluetoothAdapter.IsClassicSupported -> " + std::string(yes ? "true" : "false"));
    return yes;
  }
  hstring DeviceId() const {
    auto id = adapterInterfaceId(instance_);
    trace("BluetoothAdapter.DeviceId -> " + quoted(id));
    return id;
  }
  wf::IAsyncOperation<wdr::Radio> GetRadioAsync() const {
    trace("BluetoothAdapter.GetRadioAsync");
    auto op = make_self<Op<wdr::Radio>>("GetRadioAsync");
    sim::post(0, [op, instance = instance_] { op->complete(makeRadio(instance)); });
    return op.as<wf::IAsyncOperation<wdr::Radio>>();
  }
  UNUSED_MEMBER(BluetoothAddress)
  UNUSED_MEMBER(IsLowEnergySupported)
  UNUSED_MEMBER(IsPeripheralRoleSupported)
  UNUSED_MEMBER(IsCentralRoleSupported)
  UNUSED_MEMBER(IsAdvertisementOffloadSupported)
  UNUSED_MEMBER(AreClassicSecureConnectionsSupported)
  UNUSED_MEMBER(AreLowEnergySecureConnectionsSupported)

  Ref<platform::BluetoothAdapter> model_;
  const uint32_t instance_;
};

struct AdapterStatics
    : implements<AdapterStatics, wf::IActivationFactory, wdb::IBluetoothAdapterStatics> {
  wf::IInspectable ActivateInstance() const { throw winrt::hresult_not_implemented(); }
  wf::IAsyncOperation<wdb::BluetoothAdapter> GetDefaultAsync() const {
    trace("BluetoothAdapter.GetDefaultAsync");
    return operation<wdb::BluetoothAdapter>(
        "GetDefaultAsync", platform::getDefaultAdapterAsync(),
        [](Ref<platform::BluetoothAdapter> a) -> wdb::BluetoothAdapter {
          if (!a) return nullptr;
          return make<Adapter>(std::move(a), sim::adapterNow().instance)
              .as<wdb::BluetoothAdapter>();
        });
  }
  hstring GetDeviceSelector() const {
    trace("BluetoothAdapter.GetDeviceSelector");
    return adapterSelector();
  }
  UNUSED_MEMBER(FromIdAsync)
};

}  // namespace

hstring adapterSelector() {
  return L"System.Devices.InterfaceClassGuid:=\"{92383B0E-F90E-4AC9-8D44-8C2D0D0EBDA2}\" AND "
         L"System.Devices.InterfaceEnabled:=System.StructuredQueryType.Boolean#True";
}

hstring adapterInterfaceId(uint32_t instance) {
  return L"\\\\?\\USB#VID_0A12&PID_0001#" + winrt::to_hstring(instance) +
         L"&0#{92383b0e-f90e-4ac9-8d44-8c2d0d0ebda2}";
}

void followAdapterChanges(
    std::function<bool(const sim::AdapterNow& before, const sim::AdapterNow& after)> changed) {
  AdapterHub::instance().follow(std::move(changed));
}

wf::IActivationFactory adapterFactory() {
  return make<AdapterStatics>().as<wf::IActivationFactory>();
}

}  // namespace stack
