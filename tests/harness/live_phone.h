#pragma once
// A test's own phone application for a "phone live PATH" device: a listening Unix-domain
// socket, the one connection the simulated radio opens to it, and reads and writes on it.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "harness/unix_listener.h"

namespace harness {

// The far end of a "phone live PATH" device: a listening Unix-domain socket of the test's own.
class LivePhone {
 public:
  LivePhone() : listener_("qbt-live", 4) {}
  ~LivePhone() { close(); }
  const std::string& path() const { return listener_.path(); }
  std::string worldLines() const { return "phone live " + path() + "\n"; }

  bool accept(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    pollfd p{listener_.fd(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
    fd_ = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    return fd_ >= 0;
  }
  // Reads until `count` bytes came, the bridge closed its end, or the timeout passed.
  std::string read(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (got.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
      ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - got.size()), 0);
      if (n <= 0) {
        ended_ = true;
        break;
      }
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }
  // True when the bridge closes its end within the timeout (bytes still in flight are dropped).
  bool seesEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    while (!ended_) {
      std::string more = read(1 << 20, timeout);
      if (more.empty() && !ended_) return false;
    }
    return true;
  }
  bool write(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
  }
  // The accepted connection, or -1.
  int fd() const { return fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  UnixListener listener_;
  int fd_ = -1;
  bool ended_ = false;
};

}  // namespace harness
