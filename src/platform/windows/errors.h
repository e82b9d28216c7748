#pragma once
// The one translation of Windows failures into the seam's hresult_error.
#include <cstdint>
#include <type_traits>

#include "platform/windows/objects.h"

namespace platform {

// The failure's code with the platform's message for it: the restricted error details when
// they describe this very code, else the system message table. Untrimmed.
hresult_error platformError(const winrt::hresult_error& error);
hresult_error platformError(int32_t code);

// Runs one call into the projection, with its failures as hresult_error.
template <typename Call>
decltype(auto) winrtCall(Call&& call) {
  try {
    return call();
  } catch (const winrt::hresult_error& e) {
    throw platformError(e);
  }
}

// Runs one of the core's handlers inside a projected delegate. An hresult_error from the core
// goes back to the platform as the delegate's result, with its code and text.
template <typename Handler>
void runCoreHandler(Handler&& handler) {
  try {
    handler();
  } catch (const hresult_error& e) {
    // A success code would tell the platform the handler succeeded.
    int32_t code = e.code < 0 ? e.code : static_cast<int32_t>(E_FAIL);
    throw winrt::hresult_error(code, toHstring(e.message));
  }
}

}  // namespace platform
