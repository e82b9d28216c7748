#include "failures.h"

#include <windows.h>

#include <cstdlib>

#include <winrt/Windows.Foundation.h>

#include "common.h"
#include "platform/sim/world.h"
#include "windows/error_details.h"

namespace stack {

void raise(int32_t code, const std::u16string& message) {
  // Left on the thread, where the caller's projection finds the text.
  std::wstring text(message.begin(), message.end());
  throw failureWithDetails(code, new ErrorDetails(text.c_str(), code, text.c_str()));
}

void raise(const platform::hresult_error& error) {
  raise(error.code, error.message);
}

void raise(int32_t code) {
  raise(sim::world().error(code));
}

void refuse(const std::string& call, int32_t code, const std::string& why) {
  trace("REFUSED " + call + " " + hex(code) + " (" + why + ")");
  raise(code);
}

void failFast(const std::string& handler, int32_t code) {
  trace("REFUSED " + handler + " handler failed " + hex(code) +
        " (a failing delegate ends the process)");
  TerminateProcess(GetCurrentProcess(), failFastStatus);
  std::abort();
}

}  // namespace stack
