#pragma once
#include <cstdio>

// Start-up (code pages, apartment, first log line, adapter probe, build stamp, ready event).
// False when the apartment cannot be joined: nothing has been written then.
bool startBridge();

// Reads command lines from standard input until it ends, dispatching each; then disconnects.
void commandLoop();
// The same, reading a stdio stream.
void commandLoop(std::FILE* input);

// Ends the process with status 0 while tasks may still run on platform threads.
[[noreturn]] void endBridge();
