#pragma once
// The far end of a "phone live PATH" device: a listening Unix-domain socket of the test's own,
// standing for the phone's application. Header-only, so that the unit tests can use it without
// the rest of the harness.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace harness {

class LivePhone {
 public:
  LivePhone() {
    static std::atomic<int> counter{0};
    path_ = "/tmp/qbt-live-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    ::unlink(path_.c_str());
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_, 4) != 0)
      ADD_FAILURE() << "cannot listen on " << path_;
  }
  ~LivePhone() {
    close();
    ::close(listen_);
    ::unlink(path_.c_str());
  }
  LivePhone(const LivePhone&) = delete;
  LivePhone& operator=(const LivePhone&) = delete;

  const std::string& path() const { return path_; }
  std::string worldLines() const { return "phone live " + path_ + "\n"; }

  bool accept(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
    fd_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
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
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  std::string path_;
  int listen_ = -1;
  int fd_ = -1;
  bool ended_ = false;
};

}  // namespace harness
