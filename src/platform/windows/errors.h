#pragma once
// The one translation of Windows failures into the seam's hresult_error.
#include <cstdint>

#include "platform/windows/objects.h"

namespace platform {

// The failure's code with the platform's message for it: the description from the restricted
// error details the failing call recorded, when they describe this very code, else the system
// message table's text for the code. Untrimmed: the core's error text trims it.
hresult_error platformError(const winrt::hresult_error& error);
// The same for a failure known only by its code (a cancelled operation, memory running out in
// a callback): the system message table's text.
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

// Runs one of the core's handlers inside a projected delegate. The projection turns what a
// delegate throws into its failure code only for its own and the standard exception types; any
// other type would end the process, so the core's hresult_error is handed over as the
// projection's, with its code and text.
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
