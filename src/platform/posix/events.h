#pragma once
// How the Linux backends raise an event to the core's handlers.
#include <functional>
#include <type_traits>
#include <vector>

#include "platform/error.h"

namespace posix {

// Calls every handler in turn, on the calling platform thread. A handler's hresult_error goes
// back to the platform, which shrugs it off.
template <typename... Args>
void raiseEvent(const std::vector<std::function<void(Args...)>>& handlers,
                std::type_identity_t<Args>... args) {
  for (const auto& handler : handlers) {
    try {
      handler(args...);
    } catch (const platform::hresult_error&) {
    }
  }
}

}  // namespace posix
