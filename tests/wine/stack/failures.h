#pragma once
// Failures as the projection's callers see them: the code, with the world's message for it in
// the thread's error details, as Windows leaves them.
#include <cstdint>
#include <string>

#include <winrt/Windows.Foundation.h>

#include "platform/error.h"

namespace stack {

inline constexpr int32_t illegalMethodCall = static_cast<int32_t>(0x8000000E);
inline constexpr int32_t illegalDelegateAssignment = static_cast<int32_t>(0x80000018);
inline constexpr int32_t objectClosed = static_cast<int32_t>(0x80000013);  // RO_E_CLOSED
inline constexpr int32_t bounds = static_cast<int32_t>(0x8000000B);        // E_BOUNDS
inline constexpr int32_t invalidArgument = static_cast<int32_t>(0x80070057);
inline constexpr int32_t cancelled = static_cast<int32_t>(0x800704C7);
inline constexpr int32_t operationAborted = static_cast<int32_t>(0x800703E3);
inline constexpr int32_t notFound = static_cast<int32_t>(0x80070490);  // ERROR_NOT_FOUND

// Throws the failure, with the given message (or the world's for the code) in the thread's
// error details.
[[noreturn]] void raise(int32_t code, const std::u16string& message);
[[noreturn]] void raise(const platform::hresult_error& error);
[[noreturn]] void raise(int32_t code);

// A call that Windows refuses: recorded, then refused with the code.
[[noreturn]] void refuse(const std::string& call, int32_t code, const std::string& why);

// A handler the double calls (an event's or an operation's Completed) failed: the process ends,
// as an event source on Windows ends it (RoFailFastWithErrorContext), with the status of a fast
// fail.
[[noreturn]] void failFast(const std::string& handler, int32_t code);
inline constexpr uint32_t failFastStatus = 0xC0000409;

// Calls a handler; a failure ends the process.
template <typename Call>
void callHandler(const std::string& handler, Call&& call) {
  try {
    call();
  } catch (const winrt::hresult_error& e) {
    failFast(handler, e.code());
  } catch (...) {
    failFast(handler, static_cast<int32_t>(0x80004005));
  }
}

// Runs one call into the model with its failures as the projection's.
template <typename Call>
decltype(auto) model(Call&& call) {
  try {
    return call();
  } catch (const platform::hresult_error& e) {
    raise(e);
  }
}

}  // namespace stack
