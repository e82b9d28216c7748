#pragma once
// A listening Unix-domain socket at a path of the test's own, removed again with it: the end
// that the simulated world connects to (a control channel, a live phone).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

namespace harness {

class UnixListener {
 public:
  // `prefix` names the use in /tmp; `backlog` is how many connects may wait for an accept.
  UnixListener(const std::string& prefix, int backlog) {
    static std::atomic<int> counter{0};
    path_ = "/tmp/" + prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    ::unlink(path_.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, backlog) != 0)
      ADD_FAILURE() << "cannot listen on " << path_;
  }
  ~UnixListener() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  UnixListener(const UnixListener&) = delete;
  UnixListener& operator=(const UnixListener&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace harness
