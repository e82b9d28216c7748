// The live phone's stream on Linux: a Unix-domain socket.
#include "platform/sim/live_socket.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim::live {

Handle connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return none;
  std::memcpy(address.sun_path, path.data(), path.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return none;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return none;
  }
  return fd;
}

bool sendAll(Handle socket, const char* data, size_t size) {
  for (size_t sent = 0; sent < size;) {
    ssize_t n = ::send(static_cast<int>(socket), data + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

long sendSome(Handle socket, const char* data, size_t size) {
  for (;;) {
    ssize_t n = ::send(static_cast<int>(socket), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return -1;
  }
}

bool drained(Handle socket) {
  int unread = 0;
  return ::ioctl(static_cast<int>(socket), SIOCOUTQ, &unread) == 0 && unread == 0;
}

long receive(Handle socket, char* buffer, size_t size) {
  int fd = static_cast<int>(socket);
  for (;;) {
    // The wait is in poll, for bytes alone: a thread blocked in recv would also wake each time
    // the phone takes bytes the bridge sent, since the socket has one wait queue for both ways.
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, -1) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
  }
}

void shutdown(Handle socket) {
  ::shutdown(static_cast<int>(socket), SHUT_RDWR);
}

void close(Handle socket) {
  ::close(static_cast<int>(socket));
}

}  // namespace sim::live
