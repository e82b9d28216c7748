#include "platform/posix/device_search.h"

#include <memory>

namespace platform {

struct DeviceSearch {
  std::vector<DeviceSearchInfo> results;
  size_t next = 0;
};

namespace {
thread_local uint32_t lastErrorCode = 0;
}  // namespace

bool findNextDevice(DeviceSearch* search, DeviceSearchInfo& info) {
  if (search->next >= search->results.size()) {
    lastErrorCode = errorNoMoreItems;
    return false;
  }
  info = search->results[search->next++];
  return true;
}

void findDeviceClose(DeviceSearch* search) {
  delete search;
}

uint32_t lastError() {
  return lastErrorCode;
}

}  // namespace platform

namespace posix {

void setLastError(uint32_t code) {
  platform::lastErrorCode = code;
}

platform::DeviceSearch* startSearch(std::vector<platform::DeviceSearchInfo> results,
                                    platform::DeviceSearchInfo& info) {
  auto search = std::make_unique<platform::DeviceSearch>();
  search->results = std::move(results);
  if (!platform::findNextDevice(search.get(), info)) return nullptr;
  return search.release();
}

}  // namespace posix
