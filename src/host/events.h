#pragma once
#include <chrono>
#include <string>
#include <string_view>

// Writes one event line (the text, then CR LF) to standard output and flushes it. Lines leave
// in the order the calls queue them and never interleave. A thread that finds another one
// writing leaves its line to that one; it waits only while much is queued (so a phone faster
// than the host is held back), and the command thread never waits at all. Once a write has
// failed (the host closed its end), every later event is dropped silently.
void emitEvent(std::string_view text);

// The two halves of emitEvent, for a caller that orders its line under a lock of its own:
// queueEvent never waits; writeEvents then writes what is queued, as emitEvent does.
void queueEvent(std::string_view text);
void writeEvents();

// Marks the calling thread as the one that reads commands: its events are written by another
// thread when standard output is slow, so that commands go on while the host does not read.
void neverWaitForOutput();

// The end of the process: waits up to `patience` for the queued lines to be written, then lets
// nothing more be written. False when the host was not reading them.
bool endEvents(std::chrono::milliseconds patience);

// Escapes bytes for use between the quotes of a JSON string. UTF-8 passes through untouched.
std::string jsonEscape(std::string_view text);
