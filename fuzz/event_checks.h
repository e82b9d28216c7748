#pragma once
// The command-loop fuzzer's checks of what the bridge writes. Every event line goes through a
// pipe to a thread that traps on a line that is not one whole event: a flat JSON object
// without blanks, "t" first and of a known kind, only strict strings, true and false as values
// (integers where protocol 2 writes them), base64 in data events, CR LF at its end. Protocol
// 2's events are held to its promises as well: codes from its table, canonical addresses, ids
// only on answers, each id one a command carried, one final event per command and nothing
// with its id after it (answers.h), a failed connect's closed followed by its error.
//
// Compiled without coverage: its own branches should neither steer the fuzzer nor slow it.
#include <chrono>
#include <string_view>

#include "host/report.h"

namespace event_checks {

// Reads the bridge's events from `fd` on a thread of its own, for as long as the process
// lives. With QUINTEL_FUZZ_EVENTS=PATH every event also goes to that file.
void start(int fd);

// Before a session runs, in the protocol `start`: the ids its commands carry.
void expect(std::string_view session, Protocol start);

// Waits until every command owed an answer has had its final event; false after `patience`.
bool settle(std::chrono::milliseconds patience);

}  // namespace event_checks
