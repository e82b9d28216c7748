#pragma once
// The test's end of a world's control channel (`control PATH`): a listening Unix-domain socket
// the simulated world connects to at start, and the lines that change the world while the
// bridge runs (docs/simulator.md).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "harness/unix_listener.h"

namespace harness {

class ControlChannel {
 public:
  ControlChannel() : listener_("qbt-ctl", 1) {}
  ~ControlChannel() {
    if (fd_ >= 0) ::close(fd_);
  }
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  std::string worldLine() const { return "control " + listener_.path() + "\n"; }

  // Sends one line and returns the world's answer: "ok" once the change is made, else
  // "error: ..."; empty when the world never connected or never answered.
  std::string send(const std::string& line,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    if (fd_ < 0 && !wait(listener_.fd(), deadline)) return {};
    if (fd_ < 0) fd_ = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    std::string out = line + "\n";
    if (::send(fd_, out.data(), out.size(), MSG_NOSIGNAL) != ssize_t(out.size())) return {};
    std::string answer;
    char c = 0;
    while (wait(fd_, deadline) && ::recv(fd_, &c, 1, 0) == 1) {
      if (c == '\n') return answer;
      answer += c;
    }
    return {};
  }

 private:
  static bool wait(int fd, std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    return left.count() > 0 && ::poll(&p, 1, static_cast<int>(left.count())) == 1;
  }

  UnixListener listener_;
  int fd_ = -1;
};

}  // namespace harness
