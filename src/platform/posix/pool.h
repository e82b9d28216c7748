#pragma once
// Platform threads for the Linux backends: where completions and events reach the core.
#include <functional>

namespace posix {

// Runs `work` on an idle thread of a pool, or on a new one when none is idle, so that work
// never waits for other work (the core may block on standard output inside a completion).
// The threads are detached: like the OS's threads, they may still run while the process ends.
void runOnPlatformThread(std::function<void()> work);

}  // namespace posix
