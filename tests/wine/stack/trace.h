#pragma once
// The stack double's record of the calls it receives: one line per call or event, with the
// thread it happened on, appended to the file named by QUINTEL_STACK_TRACE (no record when it
// is unset). Tests read it to check what the bridge asked of Windows.
#include <string>

namespace stack {

// "<milliseconds since the first record> T<thread> <text>".
void trace(const std::string& text);
// The calling thread's id.
unsigned long threadId();
// A new object's name for the trace, with a serial number of its own: "StreamSocket#4".
std::string label(const char* kind);

}  // namespace stack
