#pragma once
#include <mutex>
#include <string>
#include <string_view>

// Guards standard output only, for the write and flush of one event line. Timed only so
// that the end of the process can wait a bounded while for a line being written.
extern std::timed_mutex outputLock;

// Writes one event line (the text, then CR LF) to standard output and flushes it. Once a
// write has failed (the host closed its end), every later event is dropped silently.
void emitEvent(std::string_view text);

// Escapes bytes for use between the quotes of a JSON string. UTF-8 passes through untouched.
std::string jsonEscape(std::string_view text);
