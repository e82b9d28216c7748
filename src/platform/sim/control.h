#pragma once
// The control channel: a test, or a person, changes the world while the bridge runs. The world
// names a Unix-domain socket (`control PATH`) that the model connects to at start; it reads one
// change a line and answers each line with "ok" once the change is made, or with "error: "
// and what is wrong with the line. docs/simulator.md lists the lines.
#include <string>

namespace sim {

// Makes the change a line asks for; the answer to write back, without its line feed.
std::string applyControlLine(const std::string& line);

// Connects to the channel and serves it on a thread of its own until the other end closes;
// false when nobody listens at `path`.
bool startControl(const std::string& path);

}  // namespace sim
