// The stack double refuses what Windows refuses: each check makes a deliberately wrong call (or
// one whose timing Windows fixes) and expects the double's answer. Runs under wine through
// tests/wine/launch-with-stack.sh with the world tests/wine/strict_world.txt; exit status 0
// when every check holds.
#include <windows.h>
// bthdef.h needs the definitions of windows.h first.
#include <bluetoothapis.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>

#include <winrt/Windows.Devices.Bluetooth.Rfcomm.h>
#include <winrt/Windows.Devices.Bluetooth.h>
#include <winrt/Windows.Devices.Enumeration.h>
#include <winrt/Windows.Devices.Radios.h>
#include <winrt/Windows.Foundation.Collections.h>
#include <winrt/Windows.Foundation.h>
#include <winrt/Windows.Networking.Sockets.h>
#include <winrt/Windows.Networking.h>
#include <winrt/Windows.Storage.Streams.h>

namespace {

namespace wf = winrt::Windows::Foundation;
namespace wdb = winrt::Windows::Devices::Bluetooth;
namespace wde = winrt::Windows::Devices::Enumeration;
namespace wdr = winrt::Windows::Devices::Radios;
namespace rfc = winrt::Windows::Devices::Bluetooth::Rfcomm;
namespace wns = winrt::Windows::Networking::Sockets;
namespace wss = winrt::Windows::Storage::Streams;

constexpr int32_t illegalMethodCall = static_cast<int32_t>(0x8000000E);
constexpr int32_t illegalDelegateAssignment = static_cast<int32_t>(0x80000018);
constexpr int32_t objectClosed = static_cast<int32_t>(0x80000013);
constexpr int32_t bounds = static_cast<int32_t>(0x8000000B);
constexpr int32_t elementNotFound = static_cast<int32_t>(0x80070490);
constexpr int32_t operationAborted = static_cast<int32_t>(0x800703E3);

// The world's devices (strict_world.txt).
constexpr uint64_t silentPhone = 0xA45046123456;  // slow pairing, silent, slow stores
constexpr uint64_t failingLookup = 0x001122334455;
constexpr uint64_t talkingPhone = 0x001122334466;  // sends "hello" on connect
constexpr uint64_t farPhone = 0x001122334477;      // paired, out of range

int failures = 0;
int checks = 0;

void check(bool ok, const std::string& what) {
  ++checks;
  if (ok) return;
  ++failures;
  std::printf("  FAIL: %s\n", what.c_str());
}

// The code a call fails with, or 0 when it does not fail.
int32_t codeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const winrt::hresult_error& e) {
    return e.code();
  }
  return 0;
}

void expectRefused(const char* what, int32_t want, const std::function<void()>& call) {
  int32_t got = codeOf(call);
  char text[200];
  std::snprintf(text, sizeof text, "%s: expected 0x%08X, got 0x%08X", what,
                static_cast<unsigned>(want), static_cast<unsigned>(got));
  check(got == want, text);
  std::printf("  %s %s\n", got == want ? "ok" : "--", what);
}

template <typename Op>
bool waitFor(const Op& op, int ms = 5000) {
  for (int i = 0; i < ms; ++i) {
    if (op.Status() != wf::AsyncStatus::Started) return true;
    Sleep(1);
  }
  return false;
}

void operations() {
  std::puts("operations");
  auto failing = wdb::BluetoothDevice::FromBluetoothAddressAsync(failingLookup);
  check(waitFor(failing), "the failing lookup ends");
  check(failing.Status() == wf::AsyncStatus::Error, "the failing lookup ends in Error");
  check(failing.ErrorCode() == elementNotFound, "ErrorCode is the failure's code");
  expectRefused("GetResults on a failed operation raises its code", elementNotFound,
                [&] { failing.GetResults(); });
  try {
    failing.GetResults();
  } catch (const winrt::hresult_error& e) {
    check(e.message() == L"Element not found.", "the failure carries the world's message");
  }

  // Completed on a finished operation runs at once, on the assigning thread.
  DWORD ranOn = 0;
  failing.Completed([&](const auto&, wf::AsyncStatus) { ranOn = GetCurrentThreadId(); });
  check(ranOn == GetCurrentThreadId(), "Completed on a finished operation runs at once, here");
  std::printf("  ok Completed on a finished operation runs at once\n");
  expectRefused("Completed assigned a second time", illegalDelegateAssignment,
                [&] { failing.Completed([](const auto&, wf::AsyncStatus) {}); });

  // A pending operation completes on a thread of the platform's.
  std::atomic<DWORD> completedOn{0};
  auto found = wdb::BluetoothDevice::FromBluetoothAddressAsync(silentPhone);
  found.Completed([&](const auto&, wf::AsyncStatus) { completedOn = GetCurrentThreadId(); });
  check(waitFor(found), "the lookup ends");
  for (int i = 0; i < 1000 && !completedOn; ++i) Sleep(1);
  check(completedOn && completedOn != GetCurrentThreadId(),
        "a pending operation completes on another thread");
  expectRefused("Completed assigned after it ran", illegalDelegateAssignment,
                [&] { found.Completed([](const auto&, wf::AsyncStatus) {}); });
}

void pairing() {
  std::puts("pairing");
  auto device = wdb::BluetoothDevice::FromBluetoothAddressAsync(silentPhone).get();
  auto id = device.DeviceInformation().Id();
  expectRefused("CreateFromIdAsync with an id alone (a device interface)", elementNotFound,
                [&] { wde::DeviceInformation::CreateFromIdAsync(id).get(); });
  auto info = wde::DeviceInformation::CreateFromIdAsync(
                  id, nullptr, wde::DeviceInformationKind::AssociationEndpoint)
                  .get();
  auto custom = info.Pairing().Custom();
  wf::IAsyncOperation<wde::DevicePairingResult> op{nullptr};
  std::atomic<DWORD> raisedOn{0};
  std::atomic<bool> pendingMeanwhile{false};
  custom.PairingRequested([&](const auto&, const wde::DevicePairingRequestedEventArgs& request) {
    raisedOn = GetCurrentThreadId();
    for (int i = 0; i < 1000 && !op; ++i) Sleep(1);
    pendingMeanwhile = op && op.Status() == wf::AsyncStatus::Started;
    request.Accept();
  });
  op = custom.PairAsync(
      wde::DevicePairingKinds::ConfirmOnly | wde::DevicePairingKinds::ConfirmPinMatch,
      wde::DevicePairingProtectionLevel::Default);
  expectRefused("GetResults before the operation ends", illegalMethodCall,
                [&] { op.GetResults(); });
  check(waitFor(op), "the pairing ends");
  check(raisedOn && raisedOn != GetCurrentThreadId(),
        "PairingRequested is raised on another thread");
  check(pendingMeanwhile, "PairingRequested is raised while PairAsync is pending");
  std::printf("  %s PairingRequested on another thread while PairAsync is pending\n",
              raisedOn != GetCurrentThreadId() && pendingMeanwhile ? "ok" : "--");
  check(op.GetResults().Status() == wde::DevicePairingResultStatus::Paired, "paired");
}

struct Connection {
  wns::StreamSocket socket;
  wss::DataReader reader{nullptr};
  wss::DataWriter writer{nullptr};
};

Connection connect(uint64_t address) {
  auto device = wdb::BluetoothDevice::FromBluetoothAddressAsync(address).get();
  auto services = device.GetRfcommServicesForIdAsync(rfc::RfcommServiceId::SerialPort()).get();
  auto service = services.Services().GetAt(0);
  Connection c;
  c.socket.ConnectAsync(service.ConnectionHostName(), service.ConnectionServiceName()).get();
  c.reader = wss::DataReader(c.socket.InputStream());
  c.reader.InputStreamOptions(wss::InputStreamOptions::Partial);
  c.writer = wss::DataWriter(c.socket.OutputStream());
  return c;
}

void streams() {
  std::puts("streams");
  Connection c = connect(silentPhone);
  auto load = c.reader.LoadAsync(16);
  expectRefused("LoadAsync while a load is pending", illegalMethodCall,
                [&] { c.reader.LoadAsync(16); });
  expectRefused("ReadBytes with nothing loaded", bounds, [&] {
    uint8_t b[1];
    c.reader.ReadBytes(b);
  });

  const uint8_t bytes[] = {1, 2, 3};
  c.writer.WriteBytes(bytes);
  auto store = c.writer.StoreAsync();
  expectRefused("StoreAsync while a store is pending", illegalMethodCall,
                [&] { c.writer.StoreAsync(); });
  expectRefused("WriteBytes while a store is pending", illegalMethodCall,
                [&] { c.writer.WriteBytes(bytes); });
  check(waitFor(store) && store.GetResults() == 3, "the store ends with its count");

  c.socket.Close();
  check(waitFor(load), "closing the socket ends the pending load");
  check(load.Status() == wf::AsyncStatus::Error && load.ErrorCode() == operationAborted,
        "the pending load is aborted");
  std::printf("  %s Close aborts the pending load (0x800703E3)\n",
              load.ErrorCode() == operationAborted ? "ok" : "--");
  expectRefused("InputStream of a closed socket", objectClosed,
                [&] { (void)c.socket.InputStream(); });
  expectRefused("OutputStream of a closed socket", objectClosed,
                [&] { (void)c.socket.OutputStream(); });
  auto later = c.reader.LoadAsync(16);
  expectRefused("a load on a closed socket", objectClosed, [&] {
    waitFor(later);
    later.GetResults();
  });
  auto lateStore = c.writer.StoreAsync();
  expectRefused("a store on a closed socket", objectClosed, [&] {
    waitFor(lateStore);
    lateStore.GetResults();
  });

  Connection talking = connect(talkingPhone);
  auto hello = talking.reader.LoadAsync(16);
  check(waitFor(hello) && hello.GetResults() == 5, "the phone's five bytes are loaded");
  expectRefused("ReadBytes beyond what was loaded", bounds, [&] {
    uint8_t b[6];
    talking.reader.ReadBytes(b);
  });
  uint8_t got[5];
  talking.reader.ReadBytes(got);
  check(std::string(got, got + 5) == "hello", "ReadBytes takes the loaded bytes");
  talking.socket.Close();
}

void watcher() {
  std::puts("watcher");
  auto selector = wdb::BluetoothDevice::GetDeviceSelectorFromPairingState(false);
  auto w = wde::DeviceInformation::CreateWatcher(selector, nullptr,
                                                 wde::DeviceInformationKind::AssociationEndpoint);
  std::atomic<bool> stopped{false};
  w.Stopped([&](const auto&, const auto&) { stopped = true; });
  expectRefused("Stop on a watcher never started", illegalMethodCall, [&] { w.Stop(); });
  w.Start();
  expectRefused("a second Start", illegalMethodCall, [&] { w.Start(); });
  w.Stop();
  for (int i = 0; i < 2000 && !stopped; ++i) Sleep(1);
  check(stopped, "the watcher reports Stopped");
  expectRefused("Stop on a stopped watcher", illegalMethodCall, [&] { w.Stop(); });
}

void search() {
  std::puts("device search");
  BLUETOOTH_DEVICE_SEARCH_PARAMS params{};
  params.dwSize = sizeof params - 8;
  params.fReturnRemembered = TRUE;
  BLUETOOTH_DEVICE_INFO info{};
  info.dwSize = sizeof info;
  SetLastError(0);
  HBLUETOOTH_DEVICE_FIND found = BluetoothFindFirstDevice(&params, &info);
  check(!found && GetLastError() == ERROR_REVISION_MISMATCH,
        "search parameters of the wrong size are refused");
  std::printf("  %s search parameters of the wrong size\n", found ? "--" : "ok");
  params.dwSize = sizeof params;
  info.dwSize = 0;
  found = BluetoothFindFirstDevice(&params, &info);
  check(!found && GetLastError() == ERROR_REVISION_MISMATCH,
        "a device record of the wrong size is refused");
  std::printf("  %s a device record of the wrong size\n", found ? "--" : "ok");
  BOOL next = BluetoothFindNextDevice(reinterpret_cast<HBLUETOOTH_DEVICE_FIND>(&params), &info);
  check(!next && GetLastError() == ERROR_INVALID_HANDLE, "a handle that is no search is refused");
  std::printf("  %s a handle that is no search\n", next ? "--" : "ok");
}

// Changes the world as a control line does, through the double's own entry point for its
// checks. The module is the one the runtime classes come from: the search functions this
// program imports may come from another copy, beside it, with a world of its own.
bool control(const char* line) {
  using Control = BOOL(__stdcall*)(const char*);
  static const Control apply = [] {
    auto factory = winrt::get_activation_factory<wdb::BluetoothAdapter>();
    void* code = *static_cast<void**>(winrt::get_abi(factory));
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        static_cast<LPCWSTR>(code), &module);
    return reinterpret_cast<Control>(
        reinterpret_cast<void*>(GetProcAddress(module, "QuintelStackControl")));
  }();
  bool ok = apply && apply(line);
  check(ok, std::string("control line ") + line);
  return ok;
}

void servicesErrors() {
  std::puts("services lookups that cannot ask");
  auto distant = wdb::BluetoothDevice::FromBluetoothAddressAsync(farPhone).get();
  auto uncached = distant
                      .GetRfcommServicesForIdAsync(rfc::RfcommServiceId::SerialPort(),
                                                   wdb::BluetoothCacheMode::Uncached)
                      .get();
  check(uncached.Error() == wdb::BluetoothError::DeviceNotConnected &&
            uncached.Services().Size() == 0,
        "a phone out of range: no services, DeviceNotConnected");
  std::printf("  %s a phone out of range: DeviceNotConnected\n",
              uncached.Error() == wdb::BluetoothError::DeviceNotConnected ? "ok" : "--");
  control("radio off");
  auto nearby = wdb::BluetoothDevice::FromBluetoothAddressAsync(talkingPhone).get();
  auto off = nearby.GetRfcommServicesForIdAsync(rfc::RfcommServiceId::SerialPort()).get();
  check(off.Error() == wdb::BluetoothError::RadioNotAvailable && off.Services().Size() == 0,
        "the radio off: no services, RadioNotAvailable");
  std::printf("  %s the radio off: RadioNotAvailable\n",
              off.Error() == wdb::BluetoothError::RadioNotAvailable ? "ok" : "--");
  control("radio on");
}

// A whole day's difference tells a record from memory from one the inquiry heard.
bool seenToday(const SYSTEMTIME& seen) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  return seen.wYear == now.wYear && seen.wMonth == now.wMonth && seen.wDay == now.wDay;
}

void inquiryRecords() {
  std::puts("inquiry records");
  BLUETOOTH_DEVICE_SEARCH_PARAMS params{};
  params.dwSize = sizeof params;
  params.fReturnAuthenticated = params.fReturnRemembered = params.fReturnUnknown = TRUE;
  params.fIssueInquiry = TRUE;
  params.cTimeoutMultiplier = 1;
  BLUETOOTH_DEVICE_INFO info{};
  info.dwSize = sizeof info;
  int distant = 0, nearby = 0;
  bool distantFresh = false, nearbyStale = false;
  HBLUETOOTH_DEVICE_FIND found = BluetoothFindFirstDevice(&params, &info);
  for (BOOL more = found != nullptr; more; more = BluetoothFindNextDevice(found, &info)) {
    if (info.Address.ullLong == farPhone) {
      ++distant;
      distantFresh = distantFresh || seenToday(info.stLastSeen);
    } else if (info.Address.ullLong == talkingPhone) {
      ++nearby;
      nearbyStale = nearbyStale || !seenToday(info.stLastSeen);
    }
    info.dwSize = sizeof info;
  }
  if (found) BluetoothFindDeviceClose(found);
  check(distant == 1 && !distantFresh,
        "a paired phone out of range: listed once, last seen long ago");
  check(nearby == 1 && !nearbyStale, "a phone in range: listed, last seen now");
  std::printf("  %s the inquiry lists a paired phone it cannot hear, last seen long ago\n",
              distant == 1 && !distantFresh ? "ok" : "--");
}

// Counts the events of the radio and of two adapter watchers, one with Added, Removed and
// Updated handled, one with Added only.
struct AdapterEvents {
  std::atomic<int> radioChanged{0};
  std::atomic<int> added{0}, removed{0}, addedOnly{0};
  winrt::hstring lastAdded, lastRemoved;
  std::atomic<bool> enumerated{false}, enumeratedOnly{false};
};

bool waitUntil(const std::function<bool()>& done, int ms = 3000) {
  for (int i = 0; i < ms && !done(); ++i) Sleep(1);
  return done();
}

void adapterAndRadio() {
  std::puts("adapter and radio");
  AdapterEvents seen;
  auto adapter = wdb::BluetoothAdapter::GetDefaultAsync().get();
  auto firstId = adapter.DeviceId();
  auto radio = adapter.GetRadioAsync().get();
  check(radio && radio.State() == wdr::RadioState::On, "the radio is on");
  radio.StateChanged([&](const auto&, const auto&) { ++seen.radioChanged; });

  auto selector = wdb::BluetoothAdapter::GetDeviceSelector();
  auto full = wde::DeviceInformation::CreateWatcher(selector);
  full.Added([&](const auto&, const wde::DeviceInformation& info) {
    seen.lastAdded = info.Id();
    ++seen.added;
  });
  full.Removed([&](const auto&, const wde::DeviceInformationUpdate& update) {
    seen.lastRemoved = update.Id();
    ++seen.removed;
  });
  full.Updated([](const auto&, const auto&) {});
  full.EnumerationCompleted([&](const auto&, const auto&) { seen.enumerated = true; });
  auto addedOnly = wde::DeviceInformation::CreateWatcher(selector);
  addedOnly.Added([&](const auto&, const auto&) { ++seen.addedOnly; });
  addedOnly.EnumerationCompleted([&](const auto&, const auto&) { seen.enumeratedOnly = true; });
  full.Start();
  addedOnly.Start();
  check(waitUntil([&] { return seen.enumerated && seen.enumeratedOnly; }), "enumerations end");
  check(seen.added == 1 && seen.lastAdded == firstId && seen.addedOnly == 1,
        "the enumeration adds the adapter");

  struct Step {
    const char* line;
    int radioChanged, added, removed, addedOnly;
    const char* what;
  };
  const Step steps[] = {
      {"radio off", 1, 1, 0, 1, "the radio off: StateChanged"},
      {"radio on", 2, 1, 0, 1, "the radio on: StateChanged"},
      {"adapter remove", 2, 1, 1, 1, "removed: Removed, and no StateChanged"},
      {"adapter add", 2, 2, 1, 1, "plugged in: Added, only where Removed and Updated are handled"},
  };
  for (const auto& step : steps) {
    control(step.line);
    bool ok = waitUntil([&] {
      return seen.radioChanged == step.radioChanged && seen.added == step.added &&
             seen.removed == step.removed && seen.addedOnly == step.addedOnly;
    });
    Sleep(50);  // nothing more comes
    ok = ok && seen.radioChanged == step.radioChanged && seen.added == step.added &&
         seen.removed == step.removed && seen.addedOnly == step.addedOnly;
    check(ok, step.what);
    std::printf("  %s %s\n", ok ? "ok" : "--", step.what);
    if (std::string(step.line) == "adapter remove") {
      check(seen.lastRemoved == firstId, "Removed names the adapter's interface");
      check(!wdb::BluetoothAdapter::GetDefaultAsync().get(), "no default adapter once removed");
      check(radio.State() == wdr::RadioState::On, "a removed adapter's radio keeps its state");
    }
  }
  auto again = wdb::BluetoothAdapter::GetDefaultAsync().get();
  check(again && again.DeviceId() != firstId && seen.lastAdded == again.DeviceId(),
        "an adapter plugged in again is another device");
  full.Stop();
  addedOnly.Stop();
}

// A handler that fails inside an event ends the process, as a fast fail on Windows. Run in a
// process of its own: the check is this program started again with "failing-handler".
int failingHandler() {
  auto watcher = wde::DeviceInformation::CreateWatcher(wdb::BluetoothAdapter::GetDeviceSelector());
  watcher.Added([](const auto&, const auto&) { throw winrt::hresult_access_denied(); });
  watcher.Start();
  Sleep(5000);
  return 0;
}

void aFailingHandlerEndsTheProcess() {
  std::puts("handlers");
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" failing-handler";
  STARTUPINFOW start{};
  start.cb = sizeof start;
  PROCESS_INFORMATION child{};
  DWORD status = 0;
  if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start,
                     &child)) {
    WaitForSingleObject(child.hProcess, 10000);
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
  }
  check(status == 0xC0000409, "a failing handler ends the process with a fast fail's status");
  std::printf("  %s a failing handler ends the process (status 0x%08lX)\n",
              status == 0xC0000409 ? "ok" : "--", static_cast<unsigned long>(status));
}

}  // namespace

int main(int argc, char** argv) {
  winrt::init_apartment(winrt::apartment_type::multi_threaded);
  if (argc > 1 && std::string(argv[1]) == "failing-handler") return failingHandler();
  try {
    operations();
    pairing();
    streams();
    watcher();
    search();
    servicesErrors();
    inquiryRecords();
    adapterAndRadio();
    aFailingHandlerEndsTheProcess();
  } catch (const winrt::hresult_error& e) {
    ++failures;
    std::printf("  FAIL: unexpected failure 0x%08X %ls\n", static_cast<unsigned>(e.code()),
                e.message().c_str());
  }
  std::printf("stack_tests: %d checks, %d failed\n", checks, failures);
  return failures ? 1 : 0;
}
