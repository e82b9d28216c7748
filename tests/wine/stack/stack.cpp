// The Windows Runtime half of the stack double: every class and interface the bridge's Windows
// backend touches, answering from the simulated world (src/platform/sim, the model that
// quintel-bt-sim runs on), strict where Windows is strict, recording each call (trace.h).
// Registered with wine's combase by class name (tests/wine/launch-with-stack.sh).
#include <unknwn.h>
#include <windows.h>

#include <oleauto.h>
#include <winstring.h>

#include <atomic>
#include <coroutine>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <winrt/Windows.Devices.Bluetooth.Rfcomm.h>
#include <winrt/Windows.Devices.Bluetooth.h>
#include <winrt/Windows.Devices.Enumeration.h>
#include <winrt/Windows.Foundation.Collections.h>
#include <winrt/Windows.Foundation.h>
#include <winrt/Windows.Networking.Sockets.h>
#include <winrt/Windows.Networking.h>
#include <winrt/Windows.Storage.Streams.h>

#include "platform/platform.h"
#include "platform/sim/objects.h"
#include "platform/sim/world.h"
#include "trace.h"

namespace {

using winrt::hstring;
using winrt::implements;
using winrt::make;
using winrt::make_self;
namespace wf = winrt::Windows::Foundation;
namespace wfc = winrt::Windows::Foundation::Collections;
namespace wdb = winrt::Windows::Devices::Bluetooth;
namespace wde = winrt::Windows::Devices::Enumeration;
namespace rfc = winrt::Windows::Devices::Bluetooth::Rfcomm;
namespace wn = winrt::Windows::Networking;
namespace wns = winrt::Windows::Networking::Sockets;
namespace wss = winrt::Windows::Storage::Streams;
using platform::Ref;
using stack::trace;

constexpr int32_t illegalMethodCall = static_cast<int32_t>(0x8000000E);
constexpr int32_t illegalDelegateAssignment = static_cast<int32_t>(0x80000018);
constexpr int32_t objectClosed = static_cast<int32_t>(0x80000013);  // RO_E_CLOSED
constexpr int32_t bounds = static_cast<int32_t>(0x8000000B);        // E_BOUNDS
constexpr int32_t invalidArgument = static_cast<int32_t>(0x80070057);
constexpr int32_t cancelled = static_cast<int32_t>(0x800704C7);

// ---- Failures ----------------------------------------------------------------------------

// The error details a failing call leaves on its thread, as Windows does, so the caller's
// projection finds the world's message text for the code.
struct ErrorDetails final : winrt::impl::IRestrictedErrorInfo, winrt::impl::IErrorInfo {
  int32_t code;
  std::wstring text;
  std::atomic<uint32_t> references{1};

  ErrorDetails(int32_t c, std::wstring t) : code(c), text(std::move(t)) {}

  int32_t __stdcall QueryInterface(const winrt::guid& id, void** object) noexcept override {
    if (id == winrt::guid_of<wf::IUnknown>() ||
        id == winrt::impl::guid_v<winrt::impl::IRestrictedErrorInfo>) {
      *object = static_cast<winrt::impl::IRestrictedErrorInfo*>(this);
    } else if (id == winrt::impl::guid_v<winrt::impl::IErrorInfo>) {
      *object = static_cast<winrt::impl::IErrorInfo*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  uint32_t __stdcall AddRef() noexcept override { return ++references; }
  uint32_t __stdcall Release() noexcept override {
    uint32_t left = --references;
    if (left == 0) delete this;
    return left;
  }
  int32_t __stdcall GetErrorDetails(wchar_t** description, int32_t* c, wchar_t** restricted,
                                    wchar_t** sid) noexcept override {
    *description = SysAllocString(text.c_str());
    *c = code;
    *restricted = SysAllocString(text.c_str());
    *sid = nullptr;
    return S_OK;
  }
  int32_t __stdcall GetReference(wchar_t** reference) noexcept override {
    *reference = nullptr;
    return S_OK;
  }
  int32_t __stdcall GetGUID(winrt::guid*) noexcept override { return E_NOTIMPL; }
  int32_t __stdcall GetSource(wchar_t**) noexcept override { return E_NOTIMPL; }
  int32_t __stdcall GetDescription(wchar_t** description) noexcept override {
    *description = SysAllocString(text.c_str());
    return S_OK;
  }
  int32_t __stdcall GetHelpFile(wchar_t**) noexcept override { return E_NOTIMPL; }
  int32_t __stdcall GetHelpContext(uint32_t*) noexcept override { return E_NOTIMPL; }
};

std::string hex(int32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

// Throws the failure as a projected method's caller sees it: the code, with the world's message
// for it in the thread's error details.
[[noreturn]] void raise(int32_t code, const std::u16string& message) {
  auto* details = new ErrorDetails(code, std::wstring(message.begin(), message.end()));
  SetErrorInfo(0, reinterpret_cast<::IErrorInfo*>(static_cast<winrt::impl::IErrorInfo*>(details)));
  details->Release();
  throw winrt::hresult_error(code, winrt::take_ownership_from_abi);
}

[[noreturn]] void raise(const platform::hresult_error& error) {
  raise(error.code, error.message);
}

[[noreturn]] void raise(int32_t code) {
  raise(sim::world().error(code));
}

// A call that Windows refuses: recorded, then refused with the code.
[[noreturn]] void refuse(const std::string& call, int32_t code, const std::string& why) {
  trace("REFUSED " + call + " " + hex(code) + " (" + why + ")");
  raise(code);
}

// Runs one call into the model with its failures as the projection's.
template <typename Call>
decltype(auto) model(Call&& call) {
  try {
    return call();
  } catch (const platform::hresult_error& e) {
    raise(e);
  }
}

std::string utf8(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
      out += escaped;
    }
  }
  return out;
}
std::string quoted(const hstring& text) {
  return "\"" + utf8(std::u16string(text.begin(), text.end())) + "\"";
}
std::u16string units(const hstring& text) {
  return std::u16string(text.begin(), text.end());
}
hstring toHstring(const std::u16string& text) {
  return hstring(std::wstring(text.begin(), text.end()));
}

// Every object the double hands out has a serial number, so the trace can show which object a
// call was made on: "StreamSocket#4".
std::string label(const char* kind) {
  static std::atomic<uint64_t> serial{0};
  return std::string(kind) + "#" + std::to_string(++serial);
}

// Members of an interface the bridge never calls: they fail with E_NOTIMPL if anyone does.
struct Unused {
  template <typename T>
  operator T() const {
    throw winrt::hresult_not_implemented();
  }
};
#define UNUSED_MEMBER(name)           \
  template <typename... Args>         \
  Unused name(const Args&...) const { \
    trace("UNUSED " #name);           \
    return {};                        \
  }

// ---- Asynchronous operations -------------------------------------------------------------

struct NoProgress {};

// One operation, strict as the runtime's own: Completed may be assigned once (again:
// E_ILLEGAL_DELEGATE_ASSIGNMENT) and runs at once, on the assigning thread, when the operation
// has already finished; otherwise it runs on the thread that finishes it (a platform thread of
// the model). GetResults before the end is refused; after a failure it raises the failure.
template <typename Interface, typename Result, typename Handler, typename ProgressHandler>
struct Operation : implements<Operation<Interface, Result, Handler, ProgressHandler>, Interface,
                              wf::IAsyncInfo> {
  using Value = std::conditional_t<std::is_void_v<Result>, bool, Result>;

  explicit Operation(std::string what) : name(label(what.c_str())) { trace(name + " started"); }

  void Completed(const Handler& handler) {
    std::unique_lock guard(lock);
    if (assigned) {
      guard.unlock();
      refuse(name + ".Completed", illegalDelegateAssignment, "assigned once already");
    }
    assigned = true;
    if (status == wf::AsyncStatus::Started) {
      completed = handler;
      return;
    }
    wf::AsyncStatus now = status;
    guard.unlock();
    trace(name + " Completed assigned after the end: runs at once");
    invoke(handler, now);
  }
  Handler Completed() const {
    std::lock_guard guard(lock);
    return completed;
  }
  void Progress(const ProgressHandler& handler) {
    std::lock_guard guard(lock);
    progress = handler;
  }
  ProgressHandler Progress() const {
    std::lock_guard guard(lock);
    return progress;
  }

  Result GetResults() {
    std::unique_lock guard(lock);
    switch (status) {
      case wf::AsyncStatus::Completed:
        if constexpr (std::is_void_v<Result>)
          return;
        else
          return *value;
      case wf::AsyncStatus::Error: {
        platform::hresult_error e = error;
        guard.unlock();
        trace(name + ".GetResults raises " + hex(e.code));
        raise(e);
      }
      case wf::AsyncStatus::Canceled:
        guard.unlock();
        raise(cancelled);
      default:
        guard.unlock();
        refuse(name + ".GetResults", illegalMethodCall, "the operation has not finished");
    }
  }

  uint32_t Id() const { return id; }
  wf::AsyncStatus Status() const {
    std::lock_guard guard(lock);
    return status;
  }
  winrt::hresult ErrorCode() const {
    std::lock_guard guard(lock);
    return status == wf::AsyncStatus::Error ? error.code : 0;
  }
  void Cancel() {
    trace(name + ".Cancel");
    finish(wf::AsyncStatus::Canceled, [] {});
  }
  void Close() {}

  // The producer's side.
  void complete(Value result) {
    finish(wf::AsyncStatus::Completed, [&] { value = std::move(result); });
  }
  void fail(const platform::hresult_error& e) {
    finish(wf::AsyncStatus::Error, [&] { error = e; });
  }

 private:
  template <typename Fill>
  void finish(wf::AsyncStatus how, Fill&& fill) {
    Handler handler;
    {
      std::lock_guard guard(lock);
      if (status != wf::AsyncStatus::Started) return;
      fill();
      status = how;
      handler = std::move(completed);
      completed = nullptr;
    }
    trace(name + (how == wf::AsyncStatus::Completed ? " completed"
                  : how == wf::AsyncStatus::Error   ? " failed " + hex(error.code)
                                                    : " canceled"));
    if (handler) invoke(handler, how);
  }

  void invoke(const Handler& handler, wf::AsyncStatus how) {
    try {
      handler(*this, how);
    } catch (...) {
      // The handler's failure is its own; the operation has finished either way.
    }
  }

  static inline std::atomic<uint32_t> ids{0};
  const std::string name;
  const uint32_t id = ++ids;
  mutable std::mutex lock;
  wf::AsyncStatus status = wf::AsyncStatus::Started;
  std::optional<Value> value;
  platform::hresult_error error;
  bool assigned = false;
  Handler completed;
  ProgressHandler progress;
};

template <typename T>
using Op =
    Operation<wf::IAsyncOperation<T>, T, wf::AsyncOperationCompletedHandler<T>, std::nullptr_t>;
using Action = Operation<wf::IAsyncAction, void, wf::AsyncActionCompletedHandler, std::nullptr_t>;
template <typename T, typename P>
using ProgressOp = Operation<wf::IAsyncOperationWithProgress<T, P>, T,
                             wf::AsyncOperationWithProgressCompletedHandler<T, P>,
                             wf::AsyncOperationProgressHandler<T, P>>;

// Runs a coroutine to its end with nobody waiting for it.
struct Detached {
  struct promise_type {
    Detached get_return_object() { return {}; }
    std::suspend_never initial_suspend() { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() {}
    void unhandled_exception() { std::terminate(); }
  };
};

// Finishes `to` when the model's operation finishes, on the thread that finishes it.
template <typename T, typename To, typename Convert>
Detached pipe(platform::Async<T> from, winrt::com_ptr<To> to, Convert convert) {
  std::optional<platform::hresult_error> failed;
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(from);
      to->complete(convert());
    } else {
      to->complete(convert(co_await std::move(from)));
    }
  } catch (const platform::hresult_error& e) {
    failed = e;
  } catch (const winrt::hresult_error& e) {
    failed = platform::hresult_error{e.code(), units(e.message())};
  }
  if (failed) to->fail(*failed);
}

template <typename Projected, typename T, typename Convert>
wf::IAsyncOperation<Projected> operation(const char* what, platform::Async<T> from,
                                         Convert convert) {
  auto op = make_self<Op<Projected>>(what);
  pipe(std::move(from), op, std::move(convert));
  return op.template as<wf::IAsyncOperation<Projected>>();
}

// ---- The adapter ---------------------------------------------------------------------------

struct Adapter : implements<Adapter, wdb::IBluetoothAdapter> {
  explicit Adapter(Ref<platform::BluetoothAdapter> a) : model_(std::move(a)) {}
  bool IsClassicSupported() const {
    bool yes = platform::isClassicSupported(model_);
    trace("BluetoothAdapter.IsClassicSupported -> " + std::string(yes ? "true" : "false"));
    return yes;
  }
  UNUSED_MEMBER(DeviceId)
  UNUSED_MEMBER(BluetoothAddress)
  UNUSED_MEMBER(IsLowEnergySupported)
  UNUSED_MEMBER(IsPeripheralRoleSupported)
  UNUSED_MEMBER(IsCentralRoleSupported)
  UNUSED_MEMBER(IsAdvertisementOffloadSupported)
  UNUSED_MEMBER(GetRadioAsync)
  UNUSED_MEMBER(AreClassicSecureConnectionsSupported)
  UNUSED_MEMBER(AreLowEnergySecureConnectionsSupported)

  Ref<platform::BluetoothAdapter> model_;
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
          return make<Adapter>(std::move(a)).as<wdb::BluetoothAdapter>();
        });
  }
  UNUSED_MEMBER(GetDeviceSelector)
  UNUSED_MEMBER(FromIdAsync)
};

// ---- Device records and pairing --------------------------------------------------------------

struct PairingResult : implements<PairingResult, wde::IDevicePairingResult> {
  explicit PairingResult(Ref<platform::DevicePairingResult> r) : model_(std::move(r)) {}
  wde::DevicePairingResultStatus Status() const {
    int32_t status = platform::pairingResultStatus(model_);
    trace("DevicePairingResult.Status -> " + std::to_string(status));
    return static_cast<wde::DevicePairingResultStatus>(status);
  }
  UNUSED_MEMBER(ProtectionLevelUsed)
  Ref<platform::DevicePairingResult> model_;
};

struct PairingRequest : implements<PairingRequest, wde::IDevicePairingRequestedEventArgs> {
  explicit PairingRequest(Ref<platform::DevicePairingRequestedEventArgs> r)
      : model_(std::move(r)) {}
  wde::DevicePairingKinds PairingKind() const {
    int32_t kind = platform::pairingRequestKind(model_);
    trace("DevicePairingRequestedEventArgs.PairingKind -> " + std::to_string(kind));
    return static_cast<wde::DevicePairingKinds>(kind);
  }
  hstring Pin() const {
    auto pin = toHstring(platform::pairingRequestPin(model_));
    trace("DevicePairingRequestedEventArgs.Pin -> " + quoted(pin));
    return pin;
  }
  void Accept() const {
    trace("DevicePairingRequestedEventArgs.Accept");
    model([&] { platform::acceptPairingRequest(model_); });
  }
  void Accept(const hstring& pin) const {
    trace("DevicePairingRequestedEventArgs.Accept pin=" + quoted(pin));
    model([&] { platform::acceptPairingRequest(model_); });
  }
  UNUSED_MEMBER(DeviceInformation)
  UNUSED_MEMBER(GetDeferral)
  Ref<platform::DevicePairingRequestedEventArgs> model_;
};

using PairingHandler = wf::TypedEventHandler<wde::DeviceInformationCustomPairing,
                                             wde::DevicePairingRequestedEventArgs>;

struct CustomPairing : implements<CustomPairing, wde::IDeviceInformationCustomPairing> {
  explicit CustomPairing(Ref<platform::DeviceInformationCustomPairing> c)
      : model_(std::move(c)), name_(label("DeviceInformationCustomPairing")) {}

  winrt::event_token PairingRequested(const PairingHandler& handler) {
    winrt::event_token token{++nextToken_};
    {
      std::lock_guard guard(lock_);
      handlers_[token.value] = handler;
    }
    trace(name_ + ".PairingRequested add");
    // The model keeps its registration as long as the object; a removed one falls silent.
    auto weak = get_weak();
    platform::addPairingRequested(
        model_, [weak, token](const Ref<platform::DevicePairingRequestedEventArgs>& request) {
          auto self = weak.get();
          if (!self) return;
          PairingHandler h;
          {
            std::lock_guard guard(self->lock_);
            auto it = self->handlers_.find(token.value);
            if (it == self->handlers_.end()) return;
            h = it->second;
          }
          trace(self->name_ + ".PairingRequested raised");
          try {
            h(self.template as<wde::DeviceInformationCustomPairing>(),
              make<PairingRequest>(request).as<wde::DevicePairingRequestedEventArgs>());
          } catch (const winrt::hresult_error& e) {
            trace(self->name_ + ".PairingRequested handler failed " + hex(e.code()));
            throw platform::hresult_error{e.code(), units(e.message())};
          }
        });
    return token;
  }
  void PairingRequested(const winrt::event_token& token) {
    trace(name_ + ".PairingRequested remove");
    std::lock_guard guard(lock_);
    handlers_.erase(token.value);
  }

  wf::IAsyncOperation<wde::DevicePairingResult> PairAsync(wde::DevicePairingKinds kinds) {
    return PairAsync(kinds, wde::DevicePairingProtectionLevel::Default);
  }
  wf::IAsyncOperation<wde::DevicePairingResult> PairAsync(wde::DevicePairingKinds kinds,
                                                          wde::DevicePairingProtectionLevel level) {
    trace(name_ + ".PairAsync kinds=" + std::to_string(static_cast<uint32_t>(kinds)) +
          " level=" + std::to_string(static_cast<int32_t>(level)));
    return operation<wde::DevicePairingResult>(
        "PairAsync",
        platform::pairAsync(model_, static_cast<uint32_t>(kinds), static_cast<int32_t>(level)),
        [](Ref<platform::DevicePairingResult> r) {
          return make<PairingResult>(std::move(r)).as<wde::DevicePairingResult>();
        });
  }
  template <typename A, typename B, typename C>
  Unused PairAsync(const A&, const B&, const C&) {
    return {};
  }

  Ref<platform::DeviceInformationCustomPairing> model_;
  std::string name_;
  std::mutex lock_;
  std::map<int64_t, PairingHandler> handlers_;
  std::atomic<int64_t> nextToken_{0};
};

struct Pairing
    : implements<Pairing, wde::IDeviceInformationPairing, wde::IDeviceInformationPairing2> {
  explicit Pairing(Ref<platform::DeviceInformationPairing> p) : model_(std::move(p)) {}
  bool IsPaired() const {
    bool paired = model([&] { return platform::pairingIsPaired(model_); });
    trace("DeviceInformationPairing.IsPaired -> " + std::string(paired ? "true" : "false"));
    return paired;
  }
  wde::DeviceInformationCustomPairing Custom() const {
    auto custom = make<CustomPairing>(model([&] { return platform::pairingCustom(model_); }));
    trace("DeviceInformationPairing.Custom -> " + winrt::get_self<CustomPairing>(custom)->name_);
    return custom.as<wde::DeviceInformationCustomPairing>();
  }
  UNUSED_MEMBER(CanPair)
  UNUSED_MEMBER(PairAsync)
  UNUSED_MEMBER(ProtectionLevel)
  UNUSED_MEMBER(UnpairAsync)
  Ref<platform::DeviceInformationPairing> model_;
};

struct Information : implements<Information, wde::IDeviceInformation, wde::IDeviceInformation2> {
  explicit Information(Ref<platform::DeviceInformation> i) : model_(std::move(i)) {}
  hstring Id() const {
    auto id = toHstring(platform::deviceInformationId(model_));
    trace("DeviceInformation.Id -> " + quoted(id));
    return id;
  }
  wde::DeviceInformationPairing Pairing() const {
    // Windows gives a pairing object only to association-endpoint records.
    if (model_->device && model_->device->pairingNone) {
      trace("DeviceInformation.Pairing -> null");
      return nullptr;
    }
    trace("DeviceInformation.Pairing");
    return make<::Pairing>(model([&] { return platform::deviceInformationPairing(model_); }))
        .as<wde::DeviceInformationPairing>();
  }
  wde::DeviceInformationKind Kind() const {
    return wde::DeviceInformationKind::AssociationEndpoint;
  }
  UNUSED_MEMBER(Name)
  UNUSED_MEMBER(IsEnabled)
  UNUSED_MEMBER(IsDefault)
  UNUSED_MEMBER(EnclosureLocation)
  UNUSED_MEMBER(Properties)
  UNUSED_MEMBER(Update)
  UNUSED_MEMBER(GetThumbnailAsync)
  UNUSED_MEMBER(GetGlyphThumbnailAsync)
  Ref<platform::DeviceInformation> model_;
};

wde::DeviceInformation wrapInformation(Ref<platform::DeviceInformation> info) {
  if (!info) return nullptr;
  return make<Information>(std::move(info)).as<wde::DeviceInformation>();
}

// ---- The device watcher ----------------------------------------------------------------------

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
        try {
          call(h, self.template as<wde::DeviceWatcher>(), args...);
        } catch (...) {
          // The handler's failure is its own.
        }
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

struct InformationStatics
    : implements<InformationStatics, wf::IActivationFactory, wde::IDeviceInformationStatics,
                 wde::IDeviceInformationStatics2> {
  wf::IInspectable ActivateInstance() const { throw winrt::hresult_not_implemented(); }

  wde::DeviceWatcher CreateWatcher(const hstring& selector,
                                   const wfc::IIterable<hstring>& properties,
                                   wde::DeviceInformationKind kind) const {
    auto watcher = make<Watcher>(model([&] { return platform::createWatcher(units(selector)); }));
    trace("DeviceInformation.CreateWatcher selector=" + quoted(selector) + " properties=" +
          propertiesText(properties) + " kind=" + std::to_string(static_cast<int32_t>(kind)) +
          " -> " + winrt::get_self<Watcher>(watcher)->name_);
    return watcher.as<wde::DeviceWatcher>();
  }
  wf::IAsyncOperation<wde::DeviceInformation> CreateFromIdAsync(const hstring& id) const {
    trace("DeviceInformation.CreateFromIdAsync " + quoted(id));
    return operation<wde::DeviceInformation>(
        "CreateFromIdAsync", platform::createFromIdAsync(units(id)), wrapInformation);
  }
  template <typename A, typename B>
  Unused CreateFromIdAsync(const A&, const B&) const {
    return {};
  }
  template <typename A, typename B, typename C>
  Unused CreateFromIdAsync(const A&, const B&, const C&) const {
    return {};
  }
  Unused CreateWatcher() const { return {}; }
  template <typename A>
  Unused CreateWatcher(const A&) const {
    return {};
  }
  template <typename A, typename B>
  Unused CreateWatcher(const A&, const B&) const {
    return {};
  }
  UNUSED_MEMBER(FindAllAsync)
  UNUSED_MEMBER(GetAqsFilterFromDeviceClass)
};

// ---- Bluetooth devices and their RFCOMM services ---------------------------------------------

struct HostName : implements<HostName, wn::IHostName> {
  explicit HostName(Ref<platform::HostName> h) : model_(std::move(h)), name_(label("HostName")) {}
  hstring RawName() const { return toHstring(std::u16string(name_.begin(), name_.end())); }
  hstring DisplayName() const { return RawName(); }
  hstring CanonicalName() const { return RawName(); }
  wn::HostNameType Type() const { return wn::HostNameType::Bluetooth; }
  bool IsEqual(const wn::HostName& other) const { return other && other.RawName() == RawName(); }
  UNUSED_MEMBER(IPInformation)
  Ref<platform::HostName> model_;
  std::string name_;
};

struct HostNameFactory : implements<HostNameFactory, wf::IActivationFactory, wn::IHostNameFactory> {
  wf::IInspectable ActivateInstance() const { throw winrt::hresult_not_implemented(); }
  wn::HostName CreateHostName(const hstring& text) const {
    trace("HostName.CreateHostName " + quoted(text));
    return make<HostName>(nullptr).as<wn::HostName>();
  }
};

struct ServiceId : implements<ServiceId, rfc::IRfcommServiceId> {
  explicit ServiceId(Ref<platform::RfcommServiceId> s)
      : model_(std::move(s)), name_(label("RfcommServiceId")) {}
  hstring AsString() const { return L"{00001101-0000-1000-8000-00805f9b34fb}"; }
  uint32_t AsShortId() const { return 0x1101; }
  winrt::guid Uuid() const { return winrt::guid("00001101-0000-1000-8000-00805f9b34fb"); }
  Ref<platform::RfcommServiceId> model_;
  std::string name_;
};

struct ServiceIdStatics
    : implements<ServiceIdStatics, wf::IActivationFactory, rfc::IRfcommServiceIdStatics> {
  wf::IInspectable ActivateInstance() const { throw winrt::hresult_not_implemented(); }
  rfc::RfcommServiceId SerialPort() const {
    auto id = make<ServiceId>(platform::rfcommSerialPortId());
    trace("RfcommServiceId.SerialPort -> " + winrt::get_self<ServiceId>(id)->name_);
    return id.as<rfc::RfcommServiceId>();
  }
  UNUSED_MEMBER(FromUuid)
  UNUSED_MEMBER(FromShortId)
  UNUSED_MEMBER(ObexObjectPush)
  UNUSED_MEMBER(ObexFileTransfer)
  UNUSED_MEMBER(PhoneBookAccessPce)
  UNUSED_MEMBER(PhoneBookAccessPse)
  UNUSED_MEMBER(GenericFileTransfer)
};

struct Service : implements<Service, rfc::IRfcommDeviceService> {
  Service(Ref<platform::RfcommDeviceService> s, uint32_t index)
      : model_(std::move(s)), name_(label("RfcommDeviceService")), index_(index) {}
  hstring ConnectionServiceName() const {
    auto text = toHstring(platform::connectionServiceName(model_));
    trace(name_ + ".ConnectionServiceName -> " + quoted(text));
    return text;
  }
  wn::HostName ConnectionHostName() const {
    auto host = make<HostName>(platform::connectionHostName(model_));
    trace(name_ + ".ConnectionHostName -> " + winrt::get_self<HostName>(host)->name_);
    return host.as<wn::HostName>();
  }
  UNUSED_MEMBER(ServiceId)
  UNUSED_MEMBER(ProtectionLevel)
  UNUSED_MEMBER(MaxProtectionLevel)
  UNUSED_MEMBER(GetSdpRawAttributesAsync)
  Ref<platform::RfcommDeviceService> model_;
  std::string name_;
  uint32_t index_;
};

struct ServicesResult : implements<ServicesResult, rfc::IRfcommDeviceServicesResult> {
  explicit ServicesResult(Ref<platform::RfcommDeviceServicesResult> r) : model_(std::move(r)) {
    std::vector<rfc::RfcommDeviceService> list;
    uint32_t size = platform::servicesSize(model_);
    for (uint32_t i = 0; i < size; ++i) {
      auto service = make<Service>(platform::serviceAt(model_, i), i);
      trace("RfcommDeviceServicesResult.Services[" + std::to_string(i) +
            "] = " + winrt::get_self<Service>(service)->name_);
      list.push_back(service.as<rfc::RfcommDeviceService>());
    }
    services_ = winrt::single_threaded_vector(std::move(list)).GetView();
  }
  wfc::IVectorView<rfc::RfcommDeviceService> Services() const { return services_; }
  wdb::BluetoothError Error() const { return wdb::BluetoothError::Success; }
  Ref<platform::RfcommDeviceServicesResult> model_;
  wfc::IVectorView<rfc::RfcommDeviceService> services_;
};

struct Device
    : implements<Device, wdb::IBluetoothDevice, wdb::IBluetoothDevice2, wdb::IBluetoothDevice3> {
  explicit Device(Ref<platform::BluetoothDevice> d) : model_(std::move(d)) {}
  wde::DeviceInformation DeviceInformation() const {
    auto info = platform::bluetoothDeviceInformation(model_);
    trace("BluetoothDevice.DeviceInformation -> " + std::string(info ? "a record" : "null"));
    return wrapInformation(std::move(info));
  }
  wf::IAsyncOperation<rfc::RfcommDeviceServicesResult> GetRfcommServicesForIdAsync(
      const rfc::RfcommServiceId& id) const {
    trace("BluetoothDevice.GetRfcommServicesForIdAsync " + nameOf(id));
    return services(platform::getRfcommServicesForIdAsync(model_, modelOf(id)));
  }
  wf::IAsyncOperation<rfc::RfcommDeviceServicesResult> GetRfcommServicesForIdAsync(
      const rfc::RfcommServiceId& id, wdb::BluetoothCacheMode mode) const {
    trace("BluetoothDevice.GetRfcommServicesForIdAsync " + nameOf(id) +
          " mode=" + std::to_string(static_cast<int32_t>(mode)));
    auto ask = mode == wdb::BluetoothCacheMode::Uncached
                   ? platform::getRfcommServicesForIdUncachedAsync(model_, modelOf(id))
                   : platform::getRfcommServicesForIdAsync(model_, modelOf(id));
    return services(std::move(ask));
  }

  static wf::IAsyncOperation<rfc::RfcommDeviceServicesResult> services(
      platform::Async<Ref<platform::RfcommDeviceServicesResult>> ask) {
    return operation<rfc::RfcommDeviceServicesResult>(
        "GetRfcommServicesForIdAsync", std::move(ask),
        [](Ref<platform::RfcommDeviceServicesResult> r) {
          return make<ServicesResult>(std::move(r)).as<rfc::RfcommDeviceServicesResult>();
        });
  }
  static std::string nameOf(const rfc::RfcommServiceId& id) {
    return id ? winrt::get_self<ServiceId>(id)->name_ : "null";
  }
  static Ref<platform::RfcommServiceId> modelOf(const rfc::RfcommServiceId& id) {
    if (!id) raise(invalidArgument);
    return winrt::get_self<ServiceId>(id)->model_;
  }
  UNUSED_MEMBER(DeviceId)
  UNUSED_MEMBER(HostName)
  UNUSED_MEMBER(Name)
  UNUSED_MEMBER(ClassOfDevice)
  UNUSED_MEMBER(SdpRecords)
  UNUSED_MEMBER(RfcommServices)
  UNUSED_MEMBER(ConnectionStatus)
  UNUSED_MEMBER(BluetoothAddress)
  UNUSED_MEMBER(NameChanged)
  UNUSED_MEMBER(SdpRecordsChanged)
  UNUSED_MEMBER(ConnectionStatusChanged)
  UNUSED_MEMBER(DeviceAccessInformation)
  UNUSED_MEMBER(RequestAccessAsync)
  UNUSED_MEMBER(GetRfcommServicesAsync)
  Ref<platform::BluetoothDevice> model_;
};

wdb::BluetoothDevice wrapDevice(Ref<platform::BluetoothDevice> device) {
  if (!device) return nullptr;
  return make<Device>(std::move(device)).as<wdb::BluetoothDevice>();
}

struct DeviceStatics : implements<DeviceStatics, wf::IActivationFactory,
                                  wdb::IBluetoothDeviceStatics, wdb::IBluetoothDeviceStatics2> {
  wf::IInspectable ActivateInstance() const { throw winrt::hresult_not_implemented(); }
  hstring GetDeviceSelectorFromPairingState(bool paired) const {
    trace(std::string("BluetoothDevice.GetDeviceSelectorFromPairingState ") +
          (paired ? "true" : "false"));
    return toHstring(model([&] { return platform::deviceSelectorFromPairingState(paired); }));
  }
  wf::IAsyncOperation<wdb::BluetoothDevice> FromBluetoothAddressAsync(uint64_t address) const {
    char text[32];
    std::snprintf(text, sizeof text, "0x%012llX", static_cast<unsigned long long>(address));
    trace(std::string("BluetoothDevice.FromBluetoothAddressAsync ") + text);
    return operation<wdb::BluetoothDevice>("FromBluetoothAddressAsync",
                                           platform::bluetoothDeviceFromAddressAsync(address),
                                           wrapDevice);
  }
  wf::IAsyncOperation<wdb::BluetoothDevice> FromIdAsync(const hstring& id) const {
    trace("BluetoothDevice.FromIdAsync " + quoted(id));
    return operation<wdb::BluetoothDevice>(
        "FromIdAsync", platform::bluetoothDeviceFromIdAsync(units(id)), wrapDevice);
  }
  UNUSED_MEMBER(FromHostNameAsync)
  UNUSED_MEMBER(GetDeviceSelector)
  UNUSED_MEMBER(GetDeviceSelectorFromConnectionStatus)
  UNUSED_MEMBER(GetDeviceSelectorFromDeviceName)
  UNUSED_MEMBER(GetDeviceSelectorFromBluetoothAddress)
  UNUSED_MEMBER(GetDeviceSelectorFromClassOfDevice)
};

// ---- Buffers, streams and the socket ---------------------------------------------------------

// A buffer of bytes. The double's streams, reader and writer pass these between them.
struct Buffer : implements<Buffer, wss::IBuffer> {
  explicit Buffer(uint32_t capacity) : capacity_(capacity) { bytes_.reserve(capacity); }
  explicit Buffer(std::vector<uint8_t> bytes)
      : capacity_(static_cast<uint32_t>(bytes.size())), bytes_(std::move(bytes)) {}
  uint32_t Capacity() const { return capacity_; }
  uint32_t Length() const { return static_cast<uint32_t>(bytes_.size()); }
  void Length(uint32_t length) {
    if (length > capacity_) raise(invalidArgument);
    bytes_.resize(length);
  }
  uint32_t capacity_;
  std::vector<uint8_t> bytes_;
};

Buffer& bufferOf(const wss::IBuffer& buffer) {
  if (!buffer) raise(invalidArgument);
  return *winrt::get_self<Buffer>(buffer);
}

struct InputStream : implements<InputStream, wss::IInputStream, wf::IClosable> {
  explicit InputStream(Ref<platform::InputStream> s)
      : model_(std::move(s)), name_(label("InputStream")) {}

  wf::IAsyncOperationWithProgress<wss::IBuffer, uint32_t> ReadAsync(
      const wss::IBuffer& buffer, uint32_t count, wss::InputStreamOptions options) {
    trace(name_ + ".ReadAsync count=" + std::to_string(count) +
          " options=" + std::to_string(static_cast<uint32_t>(options)));
    Buffer& target = bufferOf(buffer);
    if (count > target.capacity_) raise(invalidArgument);
    Ref<platform::DataReader> reader;
    {
      std::lock_guard guard(lock_);
      if (closed_) refuse(name_ + ".ReadAsync", objectClosed, "the stream is closed");
      if (!reader_) reader_ = model([&] { return platform::newDataReader(model_); });
      reader = reader_;
    }
    if ((options & wss::InputStreamOptions::Partial) == wss::InputStreamOptions::Partial)
      platform::setInputStreamOptionsPartial(reader);
    auto op = make_self<ProgressOp<wss::IBuffer, uint32_t>>("ReadAsync");
    pipe(platform::loadAsync(reader, count), op, [reader, buffer](uint32_t n) {
      Buffer& b = *winrt::get_self<Buffer>(buffer);
      b.bytes_.resize(n);
      platform::readBytes(reader, std::span(b.bytes_.data(), n));
      return buffer;
    });
    return op.as<wf::IAsyncOperationWithProgress<wss::IBuffer, uint32_t>>();
  }
  void Close() {
    trace(name_ + ".Close");
    std::lock_guard guard(lock_);
    closed_ = true;
  }

  Ref<platform::InputStream> model_;
  std::string name_;
  std::mutex lock_;
  Ref<platform::DataReader> reader_;
  bool closed_ = false;
};

struct OutputStream : implements<OutputStream, wss::IOutputStream, wf::IClosable> {
  explicit OutputStream(Ref<platform::OutputStream> s)
      : model_(std::move(s)), name_(label("OutputStream")) {}

  // The model's writer, made when a DataWriter is made over this stream.
  void prepareWriter() {
    std::lock_guard guard(lock_);
    if (!writer_) writer_ = model([&] { return platform::newDataWriter(model_); });
  }

  wf::IAsyncOperationWithProgress<uint32_t, uint32_t> WriteAsync(const wss::IBuffer& buffer) {
    Buffer& source = bufferOf(buffer);
    trace(name_ + ".WriteAsync bytes=" + std::to_string(source.bytes_.size()));
    prepareWriter();
    Ref<platform::DataWriter> writer;
    {
      std::lock_guard guard(lock_);
      if (closed_) refuse(name_ + ".WriteAsync", objectClosed, "the stream is closed");
      writer = writer_;
    }
    auto op = make_self<ProgressOp<uint32_t, uint32_t>>("WriteAsync");
    try {
      platform::writeBytes(writer, source.bytes_);
    } catch (const platform::hresult_error& e) {
      op->fail(e);
      return op.as<wf::IAsyncOperationWithProgress<uint32_t, uint32_t>>();
    }
    pipe(platform::storeAsync(writer), op, [](uint32_t n) { return n; });
    return op.as<wf::IAsyncOperationWithProgress<uint32_t, uint32_t>>();
  }
  wf::IAsyncOperation<bool> FlushAsync() {
    trace(name_ + ".FlushAsync");
    auto op = make_self<Op<bool>>("FlushAsync");
    op->complete(true);
    return op.as<wf::IAsyncOperation<bool>>();
  }
  void Close() {
    trace(name_ + ".Close");
    std::lock_guard guard(lock_);
    closed_ = true;
  }

  Ref<platform::OutputStream> model_;
  std::string name_;
  std::mutex lock_;
  Ref<platform::DataWriter> writer_;
  bool closed_ = false;
};

struct Socket : implements<Socket, wns::IStreamSocket, wf::IClosable> {
  Socket() : model_(platform::newStreamSocket()), name_(label("StreamSocket")) {}

  wf::IAsyncAction ConnectAsync(const wn::HostName& host, const hstring& service) {
    trace(name_ + ".ConnectAsync host=" +
          (host ? winrt::get_self<HostName>(host)->name_ : std::string("null")) +
          " service=" + quoted(service));
    if (!host) raise(invalidArgument);
    {
      std::lock_guard guard(lock_);
      if (closed_) refuse(name_ + ".ConnectAsync", objectClosed, "the socket is closed");
      if (connecting_) refuse(name_ + ".ConnectAsync", illegalMethodCall, "connected once already");
      connecting_ = true;
    }
    auto op = make_self<Action>("ConnectAsync");
    pipe(platform::connectAsync(model_, winrt::get_self<HostName>(host)->model_, units(service)),
         op, [] { return true; });
    return op.as<wf::IAsyncAction>();
  }
  template <typename A>
  Unused ConnectAsync(const A&) {
    return {};
  }
  template <typename A, typename B, typename C>
  Unused ConnectAsync(const A&, const B&, const C&) {
    return {};
  }
  template <typename A, typename B>
  Unused ConnectAsync(const A&, const B&) requires(!std::is_same_v<A, wn::HostName>) {
    return {};
  }

  wss::IInputStream InputStream() {
    std::lock_guard guard(lock_);
    if (closed_) refuse(name_ + ".InputStream", objectClosed, "the socket is closed");
    if (!input_)
      input_ = make<::InputStream>(model([&] { return platform::socketInputStream(model_); }));
    trace(name_ + ".InputStream -> " + winrt::get_self<::InputStream>(input_)->name_);
    return input_;
  }
  wss::IOutputStream OutputStream() {
    std::lock_guard guard(lock_);
    if (closed_) refuse(name_ + ".OutputStream", objectClosed, "the socket is closed");
    if (!output_)
      output_ = make<::OutputStream>(model([&] { return platform::socketOutputStream(model_); }));
    trace(name_ + ".OutputStream -> " + winrt::get_self<::OutputStream>(output_)->name_);
    return output_;
  }
  void Close() {
    trace(name_ + ".Close");
    {
      std::lock_guard guard(lock_);
      closed_ = true;
    }
    model([&] { platform::closeSocket(model_); });
  }
  UNUSED_MEMBER(Control)
  UNUSED_MEMBER(Information)
  UNUSED_MEMBER(UpgradeToSslAsync)

  Ref<platform::StreamSocket> model_;
  std::string name_;
  std::mutex lock_;
  bool closed_ = false;
  bool connecting_ = false;
  wss::IInputStream input_{nullptr};
  wss::IOutputStream output_{nullptr};
};

struct SocketFactory : implements<SocketFactory, wf::IActivationFactory> {
  wf::IInspectable ActivateInstance() const {
    auto socket = make<Socket>();
    trace("StreamSocket.new -> " + winrt::get_self<Socket>(socket)->name_);
    return socket.as<wf::IInspectable>();
  }
};

// ---- The data reader and writer --------------------------------------------------------------

// Loads from its stream into a buffer of its own and hands out only what was loaded. One load
// at a time; closing the stream under a pending load fails it.
struct DataReader : implements<DataReader, wss::IDataReader, wf::IClosable> {
  explicit DataReader(wss::IInputStream s) : stream_(std::move(s)), name_(label("DataReader")) {}

  wss::InputStreamOptions InputStreamOptions() const { return options_; }
  void InputStreamOptions(wss::InputStreamOptions options) {
    trace(name_ + ".InputStreamOptions " + std::to_string(static_cast<uint32_t>(options)));
    options_ = options;
  }
  uint32_t UnconsumedBufferLength() const {
    std::lock_guard guard(lock_);
    return static_cast<uint32_t>(unconsumed_.size() - head_);
  }

  wss::DataReaderLoadOperation LoadAsync(uint32_t count) {
    trace(name_ + ".LoadAsync " + std::to_string(count));
    {
      std::lock_guard guard(lock_);
      if (closed_) refuse(name_ + ".LoadAsync", objectClosed, "the reader is closed");
      if (loading_) refuse(name_ + ".LoadAsync", illegalMethodCall, "a load is pending");
      if (!stream_) refuse(name_ + ".LoadAsync", illegalMethodCall, "the reader has no stream");
      loading_ = true;
    }
    auto op = make_self<Op<uint32_t>>("LoadAsync");
    // A faulty stack may load (and yield) more than it was asked for.
    uint32_t asked = count + sim::world().loadBeyond;
    auto buffer = make<Buffer>(asked);
    wf::IAsyncOperationWithProgress<wss::IBuffer, uint32_t> read{nullptr};
    try {
      read = stream_.ReadAsync(buffer, asked, options_);
    } catch (const winrt::hresult_error&) {
      std::lock_guard guard(lock_);
      loading_ = false;
      throw;
    }
    auto self = get_strong();
    read.Completed([self, op](const auto& sender, wf::AsyncStatus) {
      std::optional<platform::hresult_error> failed;
      uint32_t n = 0;
      try {
        Buffer& loaded = bufferOf(sender.GetResults());
        n = static_cast<uint32_t>(loaded.bytes_.size());
        std::lock_guard guard(self->lock_);
        self->unconsumed_.insert(self->unconsumed_.end(), loaded.bytes_.begin(),
                                 loaded.bytes_.end());
      } catch (const winrt::hresult_error& e) {
        failed = platform::hresult_error{e.code(), units(e.message())};
      }
      {
        std::lock_guard guard(self->lock_);
        self->loading_ = false;
      }
      if (failed)
        op->fail(*failed);
      else
        op->complete(n);
    });
    return op.as<wss::DataReaderLoadOperation>();
  }

  void ReadBytes(winrt::array_view<uint8_t> out) {
    std::lock_guard guard(lock_);
    if (closed_) refuse(name_ + ".ReadBytes", objectClosed, "the reader is closed");
    size_t available = unconsumed_.size() - head_;
    trace(name_ + ".ReadBytes " + std::to_string(out.size()) + " of " + std::to_string(available) +
          " loaded");
    if (out.size() > available) refuse(name_ + ".ReadBytes", bounds, "more than was loaded");
    std::copy_n(unconsumed_.begin() + static_cast<ptrdiff_t>(head_), out.size(), out.begin());
    head_ += out.size();
    if (head_ == unconsumed_.size()) {
      unconsumed_.clear();
      head_ = 0;
    }
  }
  uint8_t ReadByte() {
    uint8_t b = 0;
    ReadBytes(winrt::array_view<uint8_t>(&b, 1));
    return b;
  }
  void Close() {
    trace(name_ + ".Close");
    wss::IInputStream stream{nullptr};
    {
      std::lock_guard guard(lock_);
      closed_ = true;
      stream = std::move(stream_);
    }
    if (auto closable = stream.try_as<wf::IClosable>()) closable.Close();
  }
  UNUSED_MEMBER(UnicodeEncoding)
  UNUSED_MEMBER(ByteOrder)
  UNUSED_MEMBER(ReadBuffer)
  UNUSED_MEMBER(ReadBoolean)
  UNUSED_MEMBER(ReadGuid)
  UNUSED_MEMBER(ReadInt16)
  UNUSED_MEMBER(ReadInt32)
  UNUSED_MEMBER(ReadInt64)
  UNUSED_MEMBER(ReadUInt16)
  UNUSED_MEMBER(ReadUInt32)
  UNUSED_MEMBER(ReadUInt64)
  UNUSED_MEMBER(ReadSingle)
  UNUSED_MEMBER(ReadDouble)
  UNUSED_MEMBER(ReadString)
  UNUSED_MEMBER(ReadDateTime)
  UNUSED_MEMBER(ReadTimeSpan)
  UNUSED_MEMBER(DetachBuffer)
  UNUSED_MEMBER(DetachStream)

  wss::IInputStream stream_;
  std::string name_;
  mutable std::mutex lock_;
  wss::InputStreamOptions options_ = wss::InputStreamOptions::None;
  std::vector<uint8_t> unconsumed_;
  size_t head_ = 0;
  bool loading_ = false;
  bool closed_ = false;
};

struct DataReaderFactory : implements<DataReaderFactory, wf::IActivationFactory,
                                      wss::IDataReaderFactory, wss::IDataReaderStatics> {
  wf::IInspectable ActivateInstance() const { throw winrt::hresult_not_implemented(); }
  wss::DataReader CreateDataReader(const wss::IInputStream& input) const {
    if (!input) raise(invalidArgument);
    auto reader = make<DataReader>(input);
    trace("DataReader.new over " + winrt::get_self<InputStream>(input)->name_ + " -> " +
          winrt::get_self<DataReader>(reader)->name_);
    return reader.as<wss::DataReader>();
  }
  UNUSED_MEMBER(FromBuffer)
};

// Gathers written bytes in a buffer of its own; a store hands them to the stream. One store at
// a time, and no writing while one is pending.
struct DataWriter : implements<DataWriter, wss::IDataWriter, wf::IClosable> {
  explicit DataWriter(wss::IOutputStream s) : stream_(std::move(s)), name_(label("DataWriter")) {}

  void WriteBytes(winrt::array_view<const uint8_t> bytes) {
    std::lock_guard guard(lock_);
    trace(name_ + ".WriteBytes " + std::to_string(bytes.size()));
    if (closed_) refuse(name_ + ".WriteBytes", objectClosed, "the writer is closed");
    if (storing_) refuse(name_ + ".WriteBytes", illegalMethodCall, "a store is pending");
    unstored_.insert(unstored_.end(), bytes.begin(), bytes.end());
  }
  void WriteByte(uint8_t b) { WriteBytes(winrt::array_view<const uint8_t>(&b, 1)); }
  uint32_t UnstoredBufferLength() const {
    std::lock_guard guard(lock_);
    return static_cast<uint32_t>(unstored_.size());
  }

  wss::DataWriterStoreOperation StoreAsync() {
    std::vector<uint8_t> bytes;
    {
      std::lock_guard guard(lock_);
      trace(name_ + ".StoreAsync " + std::to_string(unstored_.size()));
      if (closed_) refuse(name_ + ".StoreAsync", objectClosed, "the writer is closed");
      if (storing_) refuse(name_ + ".StoreAsync", illegalMethodCall, "a store is pending");
      if (!stream_) refuse(name_ + ".StoreAsync", illegalMethodCall, "the writer has no stream");
      storing_ = true;
      bytes.swap(unstored_);
    }
    auto op = make_self<Op<uint32_t>>("StoreAsync");
    wf::IAsyncOperationWithProgress<uint32_t, uint32_t> write{nullptr};
    try {
      write = stream_.WriteAsync(make<Buffer>(std::move(bytes)));
    } catch (const winrt::hresult_error&) {
      std::lock_guard guard(lock_);
      storing_ = false;
      throw;
    }
    auto self = get_strong();
    write.Completed([self, op](const auto& sender, wf::AsyncStatus) {
      std::optional<platform::hresult_error> failed;
      uint32_t n = 0;
      try {
        n = sender.GetResults();
      } catch (const winrt::hresult_error& e) {
        failed = platform::hresult_error{e.code(), units(e.message())};
      }
      {
        std::lock_guard guard(self->lock_);
        self->storing_ = false;
      }
      if (failed)
        op->fail(*failed);
      else
        op->complete(n);
    });
    return op.as<wss::DataWriterStoreOperation>();
  }
  wf::IAsyncOperation<bool> FlushAsync() {
    trace(name_ + ".FlushAsync");
    return stream_.FlushAsync();
  }
  void Close() {
    trace(name_ + ".Close");
    wss::IOutputStream stream{nullptr};
    {
      std::lock_guard guard(lock_);
      closed_ = true;
      stream = std::move(stream_);
    }
    if (auto closable = stream.try_as<wf::IClosable>()) closable.Close();
  }
  UNUSED_MEMBER(UnicodeEncoding)
  UNUSED_MEMBER(ByteOrder)
  UNUSED_MEMBER(WriteBuffer)
  UNUSED_MEMBER(WriteBoolean)
  UNUSED_MEMBER(WriteGuid)
  UNUSED_MEMBER(WriteInt16)
  UNUSED_MEMBER(WriteInt32)
  UNUSED_MEMBER(WriteInt64)
  UNUSED_MEMBER(WriteUInt16)
  UNUSED_MEMBER(WriteUInt32)
  UNUSED_MEMBER(WriteUInt64)
  UNUSED_MEMBER(WriteSingle)
  UNUSED_MEMBER(WriteDouble)
  UNUSED_MEMBER(WriteDateTime)
  UNUSED_MEMBER(WriteTimeSpan)
  UNUSED_MEMBER(WriteString)
  UNUSED_MEMBER(MeasureString)
  UNUSED_MEMBER(DetachBuffer)
  UNUSED_MEMBER(DetachStream)

  wss::IOutputStream stream_;
  std::string name_;
  mutable std::mutex lock_;
  std::vector<uint8_t> unstored_;
  bool storing_ = false;
  bool closed_ = false;
};

struct DataWriterFactory
    : implements<DataWriterFactory, wf::IActivationFactory, wss::IDataWriterFactory> {
  wf::IInspectable ActivateInstance() const {
    return make<DataWriter>(nullptr).as<wf::IInspectable>();
  }
  wss::DataWriter CreateDataWriter(const wss::IOutputStream& output) const {
    if (!output) raise(invalidArgument);
    auto* stream = winrt::get_self<OutputStream>(output);
    stream->prepareWriter();
    auto writer = make<DataWriter>(output);
    trace("DataWriter.new over " + stream->name_ + " -> " +
          winrt::get_self<DataWriter>(writer)->name_);
    return writer.as<wss::DataWriter>();
  }
};

template <typename Factory>
int32_t hand(void** factory) {
  *factory = winrt::detach_abi(make<Factory>().template as<wf::IActivationFactory>());
  return S_OK;
}

}  // namespace

// The entry point wine's combase calls for each class registered to this library.
extern "C" HRESULT __stdcall DllGetActivationFactory(HSTRING classId, void** factory) noexcept {
  if (!factory) return E_POINTER;
  *factory = nullptr;
  try {
    UINT32 length = 0;
    const wchar_t* raw = WindowsGetStringRawBuffer(classId, &length);
    std::wstring name(raw, length);
    trace("activate " + utf8(std::u16string(name.begin(), name.end())));
    if (name == L"Windows.Devices.Bluetooth.BluetoothAdapter") return hand<AdapterStatics>(factory);
    if (name == L"Windows.Devices.Bluetooth.BluetoothDevice") return hand<DeviceStatics>(factory);
    if (name == L"Windows.Devices.Enumeration.DeviceInformation")
      return hand<InformationStatics>(factory);
    if (name == L"Windows.Devices.Bluetooth.Rfcomm.RfcommServiceId")
      return hand<ServiceIdStatics>(factory);
    if (name == L"Windows.Networking.HostName") return hand<HostNameFactory>(factory);
    if (name == L"Windows.Networking.Sockets.StreamSocket") return hand<SocketFactory>(factory);
    if (name == L"Windows.Storage.Streams.DataReader") return hand<DataReaderFactory>(factory);
    if (name == L"Windows.Storage.Streams.DataWriter") return hand<DataWriterFactory>(factory);
    return CLASS_E_CLASSNOTAVAILABLE;
  } catch (...) {
    return winrt::to_hresult();
  }
}

extern "C" HRESULT __stdcall DllCanUnloadNow() noexcept {
  return S_FALSE;
}
