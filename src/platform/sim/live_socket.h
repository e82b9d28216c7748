#pragma once
// The stream to a live phone (`phone live PATH`). Each front-end of the simulated world brings
// its own: a Unix-domain socket on Linux; through a relay on the host under wine, which has no
// Unix-domain sockets (docs/windows.md).
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim::live {

using Handle = intptr_t;
inline constexpr Handle none = -1;

// Connects to the phone listening at `path`; none when nobody listens there.
Handle connect(const std::string& path);
// Sends all of the bytes, waiting for room as long as it takes; false when the phone is gone.
bool sendAll(Handle socket, const char* data, size_t size);
// Sends what fits without waiting: the count taken (0 when there is no room), or -1 when the
// phone is gone.
long sendSome(Handle socket, const char* data, size_t size);
// True when the phone has taken every byte sent so far; false when that is not known.
bool drained(Handle socket);
// Waits for bytes from the phone: their count, 0 at its end of the stream, -1 on a failure.
long receive(Handle socket, char* buffer, size_t size);
// Ends the stream both ways; a receive waiting on another thread returns.
void shutdown(Handle socket);
void close(Handle socket);

}  // namespace sim::live
