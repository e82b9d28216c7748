#pragma once
// The test's end of a world's control channel (`control PATH`): a listening Unix-domain socket
// the simulated world connects to at start, and the lines that change the world while the
// bridge runs (docs/simulator.md).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

namespace harness {

class ControlChannel {
 public:
  ControlChannel() {
    static std::atomic<int> counter{0};
    path_ = "/tmp/qbt-ctl-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    ::unlink(path_.c_str());
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_, 1) != 0)
      ADD_FAILURE() << "cannot listen on " << path_;
  }
  ~ControlChannel() {
    if (fd_ >= 0) ::close(fd_);
    ::close(listen_);
    ::unlink(path_.c_str());
  }
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  std::string worldLine() const { return "control " + path_ + "\n"; }

  // Sends one line and returns the world's answer: "ok" once the change is made, else
  // "error: ..."; empty when the world never connected or never answered.
  std::string send(const std::string& line,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    if (fd_ < 0 && !wait(listen_, deadline)) return {};
    if (fd_ < 0) fd_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
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

  std::string path_;
  int listen_ = -1;
  int fd_ = -1;
};

}  // namespace harness
