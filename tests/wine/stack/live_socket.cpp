// The live phone's stream under wine, which has no Unix-domain sockets: a TCP connection to the
// launcher's relay on 127.0.0.1 (port in QUINTEL_STACK_RELAY). The first line names the phone's
// Unix-domain socket; the relay answers "+" once it is connected there ("-" when nobody
// listens), then carries the bytes both ways and passes each end of the stream on.
#include <winsock2.h>

#include <cstdlib>
#include <mutex>

#include "platform/sim/live_socket.h"

namespace sim::live {

namespace {

bool started() {
  static bool ok = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ok;
}

SOCKET as(Handle socket) {
  return static_cast<SOCKET>(socket);
}

}  // namespace

Handle connect(const std::string& path) {
  const char* port = std::getenv("QUINTEL_STACK_RELAY");
  if (!started() || !port || !*port) return none;
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return none;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char answer = 0;
  std::string request = path + "\n";
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      !sendAll(static_cast<Handle>(s), request.data(), request.size()) ||
      ::recv(s, &answer, 1, 0) != 1 || answer != '+') {
    ::closesocket(s);
    return none;
  }
  BOOL noDelay = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
  return static_cast<Handle>(s);
}

bool sendAll(Handle socket, const char* data, size_t size) {
  for (size_t sent = 0; sent < size;) {
    int chunk = static_cast<int>(std::min<size_t>(size - sent, 1 << 20));
    int n = ::send(as(socket), data + sent, chunk, 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// The link's writer thread sends instead; nothing here waits.
long sendSome(Handle, const char*, size_t) {
  return 0;
}

// Not known through winsock: stores go through the link's writer thread.
bool drained(Handle) {
  return false;
}

long receive(Handle socket, char* buffer, size_t size) {
  int n = ::recv(as(socket), buffer, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
  if (n >= 0) return n;
  return -1;
}

void shutdown(Handle socket) {
  ::shutdown(as(socket), SD_BOTH);
}

void close(Handle socket) {
  ::closesocket(as(socket));
}

}  // namespace sim::live
