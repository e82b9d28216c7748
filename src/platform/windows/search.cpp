// The Win32 classic device search.
#include <windows.h>
// bthdef.h needs the definitions of windows.h first.
#include <bluetoothapis.h>

#include <cwchar>

#include "platform/platform.h"

namespace platform {

static_assert(sizeof(BLUETOOTH_DEVICE_SEARCH_PARAMS) == 40);
static_assert(sizeof(BLUETOOTH_DEVICE_INFO) == 560);

// One search: its handle and the record the platform fills, kept across the calls.
struct DeviceSearch {
  HBLUETOOTH_DEVICE_FIND handle = nullptr;
  BLUETOOTH_DEVICE_INFO record{};
};

namespace {

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
  found->record.dwSize = sizeof found->record;
  found->handle = BluetoothFindFirstDevice(&search, &found->record);
  if (!found->handle) {
    DWORD error = GetLastError();
    delete found;
    // The caller reads the search's error after this returns.
    SetLastError(error);
    return nullptr;
  }
  copyRecord(found->record, info);
  return found;
}

bool findNextDevice(DeviceSearch* search, DeviceSearchInfo& info) {
  search->record.dwSize = sizeof search->record;
  if (!BluetoothFindNextDevice(search->handle, &search->record)) return false;
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
