#include "relay.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "bench_process.h"

namespace bench {

namespace {

// Copies until the source ends or the destination is gone.
void pump(int from, int to) {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !writeAll(to, buffer, static_cast<size_t>(n))) return;
  }
}

}  // namespace

int runRelay(const char* path) {
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
  if (sock < 0 || ::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("relay: connect");
    return 1;
  }
  std::thread toPhone([sock] {
    pump(STDIN_FILENO, sock);
    ::shutdown(sock, SHUT_WR);
  });
  toPhone.detach();
  pump(sock, STDOUT_FILENO);
  // The phone has gone: nothing more to carry either way.
  std::_Exit(0);
}

}  // namespace bench
