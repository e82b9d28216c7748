// The Win32 half of the stack double: the classic device search of bthprops.cpl, answering from
// the simulated world with the records laid out as Windows lays them out, the thread's last
// error set as Windows sets it, and each call recorded.
//
// An inquiry that asks for authenticated or remembered devices returns them whether it heard
// them or not (BLUETOOTH_DEVICE_SEARCH_PARAMS: fReturnAuthenticated "should return
// authenticated Bluetooth devices"); the model lists those it could not hear after the others.
// Their stLastSeen is when the double began, a day back; a device heard has the time of the
// search, in UTC.
#include <windows.h>
// bthdef.h needs the definitions of windows.h first.
#include <bluetoothapis.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/platform.h"
#include "platform/sim/state.h"
#include "platform/sim/world.h"
#include "trace.h"

static_assert(sizeof(BLUETOOTH_DEVICE_SEARCH_PARAMS) == 40);
static_assert(sizeof(BLUETOOTH_DEVICE_INFO) == 560);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, Address) == 8);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, fAuthenticated) == 28);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, szName) == 64);

namespace {

using stack::trace;

// The devices a search heard, as the model had them when it ended.
struct Heard {
  bool all = true;  // a search of what Windows remembers, without an inquiry
  std::set<uint64_t> addresses;
};

std::mutex lock;
std::map<platform::DeviceSearch*, Heard> open;  // the searches handed out and not closed yet

Heard heardNow(const BLUETOOTH_DEVICE_SEARCH_PARAMS& params) {
  Heard heard;
  if (!params.fIssueInquiry) return heard;
  heard.all = false;
  if (!sim::onAir()) return heard;
  for (const auto& d : sim::world().devices)
    if (sim::inRange(d.address)) heard.addresses.insert(d.address);
  return heard;
}

SYSTEMTIME lastSeen(bool heard) {
  static const ULONGLONG start = [] {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (ULONGLONG{now.dwHighDateTime} << 32 | now.dwLowDateTime) - 864'000'000'000ull;
  }();
  SYSTEMTIME time{};
  if (heard) {
    GetSystemTime(&time);
  } else {
    FILETIME before{static_cast<DWORD>(start), static_cast<DWORD>(start >> 32)};
    FileTimeToSystemTime(&before, &time);
  }
  return time;
}

void fill(BLUETOOTH_DEVICE_INFO& record, const platform::DeviceSearchInfo& found,
          const Heard& heard) {
  DWORD size = record.dwSize;
  record = BLUETOOTH_DEVICE_INFO{};
  record.dwSize = size;
  record.stLastSeen = lastSeen(heard.all || heard.addresses.count(found.address));
  record.Address.ullLong = found.address;
  record.fAuthenticated = found.authenticated;
  record.fRemembered = found.authenticated;
  size_t n = std::min<size_t>(found.name.size(), BLUETOOTH_MAX_NAME_SIZE - 1);
  for (size_t i = 0; i < n; ++i) record.szName[i] = static_cast<WCHAR>(found.name[i]);
  record.szName[n] = 0;
}

// A refused call: recorded, with the thread's last error set.
template <typename T>
T refuse(const std::string& call, DWORD error, const char* why, T result) {
  trace("REFUSED " + call + " error " + std::to_string(error) + " (" + why + ")");
  SetLastError(error);
  return result;
}

std::string recordText(const BLUETOOTH_DEVICE_INFO& record) {
  char text[96];
  std::snprintf(text, sizeof text, " -> %012llX auth=%d seen=%04u-%02u-%02u",
                static_cast<unsigned long long>(record.Address.ullLong),
                static_cast<int>(record.fAuthenticated), record.stLastSeen.wYear,
                record.stLastSeen.wMonth, record.stLastSeen.wDay);
  return text;
}

}  // namespace

extern "C" {

HBLUETOOTH_DEVICE_FIND WINAPI BluetoothFindFirstDevice(BLUETOOTH_DEVICE_SEARCH_PARAMS* params,
                                                       BLUETOOTH_DEVICE_INFO* info) {
  std::string call = "BluetoothFindFirstDevice";
  if (!params || !info) return refuse(call, ERROR_INVALID_PARAMETER, "null argument", nullptr);
  call += " dwSize=" + std::to_string(params->dwSize) +
          " authenticated=" + std::to_string(params->fReturnAuthenticated) +
          " remembered=" + std::to_string(params->fReturnRemembered) +
          " unknown=" + std::to_string(params->fReturnUnknown) +
          " connected=" + std::to_string(params->fReturnConnected) +
          " inquiry=" + std::to_string(params->fIssueInquiry) +
          " multiplier=" + std::to_string(params->cTimeoutMultiplier) +
          " radio=" + (params->hRadio ? "set" : "null") +
          " info.dwSize=" + std::to_string(info->dwSize);
  trace(call);
  if (params->dwSize != sizeof *params || info->dwSize != sizeof *info)
    return refuse(call, ERROR_REVISION_MISMATCH, "a record of the wrong size", nullptr);
  platform::DeviceSearchParams p;
  p.returnAuthenticated = params->fReturnAuthenticated;
  p.returnRemembered = params->fReturnRemembered;
  p.returnUnknown = params->fReturnUnknown;
  p.returnConnected = params->fReturnConnected;
  p.issueInquiry = params->fIssueInquiry;
  p.timeoutMultiplier = params->cTimeoutMultiplier;
  platform::DeviceSearchInfo found;
  platform::DeviceSearch* search = platform::findFirstDevice(p, found);
  if (!search) {
    DWORD error = platform::lastError();
    trace("BluetoothFindFirstDevice -> null, last error " + std::to_string(error));
    SetLastError(error);
    return nullptr;
  }
  Heard heard = heardNow(*params);
  fill(*info, found, heard);
  trace("BluetoothFindFirstDevice" + recordText(*info));
  std::lock_guard guard(lock);
  open[search] = std::move(heard);
  return reinterpret_cast<HBLUETOOTH_DEVICE_FIND>(search);
}

BOOL WINAPI BluetoothFindNextDevice(HBLUETOOTH_DEVICE_FIND handle, BLUETOOTH_DEVICE_INFO* info) {
  auto* search = reinterpret_cast<platform::DeviceSearch*>(handle);
  Heard heard;
  {
    std::lock_guard guard(lock);
    auto it = open.find(search);
    if (it == open.end())
      return refuse("BluetoothFindNextDevice", ERROR_INVALID_HANDLE, "not an open search", FALSE);
    heard = it->second;
  }
  if (!info)
    return refuse("BluetoothFindNextDevice", ERROR_INVALID_PARAMETER, "null record", FALSE);
  if (info->dwSize != sizeof *info)
    return refuse("BluetoothFindNextDevice info.dwSize=" + std::to_string(info->dwSize),
                  ERROR_REVISION_MISMATCH, "a record of the wrong size", FALSE);
  platform::DeviceSearchInfo found;
  if (!platform::findNextDevice(search, found)) {
    trace("BluetoothFindNextDevice -> FALSE");
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  fill(*info, found, heard);
  trace("BluetoothFindNextDevice" + recordText(*info));
  return TRUE;
}

BOOL WINAPI BluetoothFindDeviceClose(HBLUETOOTH_DEVICE_FIND handle) {
  auto* search = reinterpret_cast<platform::DeviceSearch*>(handle);
  {
    std::lock_guard guard(lock);
    if (!open.erase(search))
      return refuse("BluetoothFindDeviceClose", ERROR_INVALID_HANDLE, "not an open search", FALSE);
  }
  trace("BluetoothFindDeviceClose");
  platform::findDeviceClose(search);
  return TRUE;
}

// Reads the world as the process starts, as quintel-bt-sim does: a broken world ends it then.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) sim::world();
  return TRUE;
}

}  // extern "C"
