#pragma once
#include <fstream>
#include <mutex>
#include <string_view>

// The log file beside the executable, opened (truncated, with a UTF-8 BOM) on first use.
// A failed open leaves the stream failed for the whole run.
std::ofstream& logFile();

// One diagnostic line to standard error (LF leaves as CR LF) and to the log file, each
// flushed. Whole lines from different threads never mix.
void logLine(std::string_view text);

// Keeps whole log lines together on both destinations. Timed only so that the end of the
// process can wait a bounded while for a line being written.
extern std::timed_mutex logLock;
