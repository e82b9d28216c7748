#pragma once
// The plain relay the bridge is measured against: the same socket and pipes, no framing.

namespace bench {

// Connects to the Unix-domain socket at `path` as the phone's peer, then copies the socket to
// standard output and standard input to the socket, 4096 bytes per read, until either side
// ends. Returns the process exit status.
int runRelay(const char* path);

}  // namespace bench
