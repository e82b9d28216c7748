// The Win32 classic device search.
#include <windows.h>
// bthdef.h needs the definitions of windows.h first.
#include <bluetoothapis.h>

#include <algorithm>
#include <cwchar>
#include <optional>

#include "platform/platform.h"

namespace platform {

static_assert(sizeof(BLUETOOTH_DEVICE_SEARCH_PARAMS) == 40);
static_assert(sizeof(BLUETOOTH_DEVICE_INFO) == 560);

// One search: its handle and the record the platform fills, kept across the calls.
struct DeviceSearch {
  HBLUETOOTH_DEVICE_FIND handle = nullptr;
  BLUETOOTH_DEVICE_INFO record{};
  // An inquiry's: records last seen before this time (FILETIME units) were not heard by it.
  std::optional<uint64_t> heardSince;
};

namespace {

uint64_t ticks(const FILETIME& time) {
  return uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime;
}

// An inquiry that asks for authenticated or remembered devices returns them all, heard or not:
// a paired phone switched off or out of range comes back from Windows's memory, last seen
// before the inquiry began. The page leaves stLastSeen's time zone open: the earlier of the
// start in UTC and in local time keeps every device heard, whichever Windows writes, and a
// couple of seconds allow for its clock's resolution.
uint64_t inquiryStart() {
  FILETIME utc, local;
  GetSystemTimeAsFileTime(&utc);
  uint64_t start = ticks(utc);
  if (FileTimeToLocalFileTime(&utc, &local)) start = std::min(start, ticks(local));
  constexpr uint64_t slack = 2 * 10'000'000ull;
  return start > slack ? start - slack : 0;
}

bool heard(const DeviceSearch& search) {
  if (!search.heardSince) return true;
  FILETIME seen;
  // Never seen: an all-zero time, which does not convert.
  if (!SystemTimeToFileTime(&search.record.stLastSeen, &seen)) return false;
  return ticks(seen) >= *search.heardSince;
}

// Moves to the next record the search heard; false at the end.
bool nextHeard(DeviceSearch& search) {
  do {
    search.record.dwSize = sizeof search.record;
    if (!BluetoothFindNextDevice(search.handle, &search.record)) return false;
  } while (!heard(search));
  return true;
}

void copyRecord(const BLUETOOTH_DEVICE_INFO& record, DeviceSearchInfo& info) {
  info.address = record.Address.ullLong;
  info.authenticated = record.fAuthenticated;
  const wchar_t* name = record.szName;
  info.name.assign(name, name + wcsnlen(name, BLUETOOTH_MAX_NAME_SIZE));
}

}  // namespace

DeviceSearch* findFirstDevice(const DeviceSearchParams& params, DeviceSearchInfo& info) {
  BLUETOOTH_DEVICE_SEARCH_PARAMS search{};
  search.dwSize = sizeof search;
  search.fReturnAuthenticated = params.returnAuthenticated;
  search.fReturnRemembered = params.returnRemembered;
  search.fReturnUnknown = params.returnUnknown;
  search.fReturnConnected = params.returnConnected;
  search.fIssueInquiry = params.issueInquiry;
  search.cTimeoutMultiplier = params.timeoutMultiplier;
  search.hRadio = nullptr;  // all radios

  auto* found = new DeviceSearch;
  if (params.issueInquiry && (params.returnAuthenticated || params.returnRemembered))
    found->heardSince = inquiryStart();
  found->record.dwSize = sizeof found->record;
  found->handle = BluetoothFindFirstDevice(&search, &found->record);
  DWORD error = found->handle ? ERROR_SUCCESS : GetLastError();
  if (found->handle && !heard(*found) && !nextHeard(*found)) {
    BluetoothFindDeviceClose(found->handle);
    found->handle = nullptr;
    error = ERROR_NO_MORE_ITEMS;
  }
  if (!found->handle) {
    delete found;
    // The caller reads the search's error after this returns.
    SetLastError(error);
    return nullptr;
  }
  copyRecord(found->record, info);
  return found;
}

bool findNextDevice(DeviceSearch* search, DeviceSearchInfo& info) {
  if (!nextHeard(*search)) return false;
  copyRecord(search->record, info);
  return true;
}

void findDeviceClose(DeviceSearch* search) {
  if (!search) return;
  BluetoothFindDeviceClose(search->handle);
  delete search;
}

uint32_t lastError() {
  return GetLastError();
}

}  // namespace platform
