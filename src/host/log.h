#pragma once
#include <chrono>
#include <fstream>
#include <mutex>
#include <string_view>

// The log file beside the executable, opened (truncated, with a UTF-8 BOM) on first use.
// A failed open leaves the stream failed for the whole run.
std::ofstream& logFile();

// One diagnostic line to the log file and to standard error, each ending in CR LF and
// flushed. Whole lines from different threads never mix, and leave in the same order on both.
// The caller never waits for the host to read standard error: a thread of the log's own writes
// it, and lines beyond 256 KiB unread are dropped there (the file keeps every line).
void logLine(std::string_view text);

// The end of the process: waits until `deadline` at most for the lines standard error has not
// taken yet. False when the host was not reading them.
bool endLog(std::chrono::steady_clock::time_point deadline);

// Keeps whole log lines together on both destinations. Timed only so that the end of the
// process can wait a bounded while for a line being written.
extern std::timed_mutex logLock;
