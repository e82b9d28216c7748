#pragma once
// The classic device search's handle and last error, as the Linux backends keep them: a search
// collects its whole list at the first call and hands it out one record a call.
#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace posix {

// Sets the calling thread's last error, as the Win32 search functions do.
void setLastError(uint32_t code);

// The first of `results` in `info` and a handle for the rest, or null with the last error
// ERROR_NO_MORE_ITEMS when there are none.
platform::DeviceSearch* startSearch(std::vector<platform::DeviceSearchInfo> results,
                                    platform::DeviceSearchInfo& info);

}  // namespace posix
