#include "bench_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace bench {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {
[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}
}  // namespace

Child spawnChild(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  int inPipe[2], outPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0) fail("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
  envStrings.insert(envStrings.end(), env.begin(), env.end());
  std::vector<char*> envp, args;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy = argv;
  for (auto& s : argCopy) args.push_back(s.data());
  args.push_back(nullptr);

  Child child;
  int rc = ::posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  if (rc != 0) {
    errno = rc;
    fail("spawn " + argv[0]);
  }
  child.in = inPipe[1];
  child.out = outPipe[0];
  return child;
}

int finishChild(Child& child, int timeoutMs) {
  if (child.in >= 0) ::close(child.in);
  child.in = -1;
  int status = 0;
  double deadline = now() + timeoutMs / 1000.0;
  pid_t done = 0;
  while ((done = ::waitpid(child.pid, &status, WNOHANG)) == 0 && now() < deadline) {
    // Keep its output flowing so it can reach its end.
    char sink[65536];
    if (child.out >= 0 && readSome(child.out, sink, sizeof sink, 5) == 0) {
      ::close(child.out);
      child.out = -1;
    }
    if (child.out < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (done == 0) {
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, &status, 0);
    status = -1;
  }
  if (child.out >= 0) ::close(child.out);
  child.out = -1;
  child.pid = -1;
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

double cpuSeconds(pid_t pid) {
  clockid_t clock;
  timespec ts{};
  if (::clock_getcpuclockid(pid, &clock) != 0 || ::clock_gettime(clock, &ts) != 0) return -1;
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

long statusKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
      return std::stol(line.substr(n + 1));
  }
  return -1;
}

void pinToOneCore(pid_t pid, bool pin) {
  // The cores this process was given at start.
  static const cpu_set_t allowed = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) CPU_SET(0, &set);
    return set;
  }();
  cpu_set_t set = allowed;
  if (pin) {
    int first = 0;
    while (first < CPU_SETSIZE && !CPU_ISSET(first, &allowed)) ++first;
    CPU_ZERO(&set);
    CPU_SET(first, &set);
  }
  if (pid == 0) {
    ::sched_setaffinity(0, sizeof set, &set);
    return;
  }
  std::error_code error;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error))
    ::sched_setaffinity(std::stoi(task.path().filename().string()), sizeof set, &set);
}

bool writeAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

long readSome(int fd, void* data, size_t size, int timeoutMs) {
  pollfd pfd{fd, POLLIN, 0};
  for (;;) {
    int r = ::poll(&pfd, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    ssize_t n = ::read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

Listener::Listener(std::string path) : path_(std::move(path)) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path_.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long");
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  ::unlink(path_.c_str());
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) fail("socket");
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("bind " + path_);
  if (::listen(fd_, 4) != 0) fail("listen");
}

Listener::~Listener() {
  if (fd_ >= 0) ::close(fd_);
  ::unlink(path_.c_str());
}

int Listener::accept(int timeoutMs) {
  pollfd pfd{fd_, POLLIN, 0};
  if (::poll(&pfd, 1, timeoutMs) <= 0) return -1;
  return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

bool LineInput::next(std::string_view& line, int timeoutMs) {
  double deadline = now() + timeoutMs / 1000.0;
  size_t searched = begin_;
  for (;;) {
    const void* lf =
        searched < end_ ? std::memchr(buffer_.data() + searched, '\n', end_ - searched) : nullptr;
    if (lf) {
      size_t at = static_cast<size_t>(static_cast<const char*>(lf) - buffer_.data());
      size_t stop = at > begin_ && buffer_[at - 1] == '\r' ? at - 1 : at;
      line = std::string_view(buffer_.data() + begin_, stop - begin_);
      begin_ = at + 1;
      return true;
    }
    if (begin_ == end_) begin_ = end_ = 0;
    if (end_ == buffer_.size()) {
      if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
      } else {
        buffer_.resize(buffer_.size() * 2);
      }
    }
    searched = end_;
    int left = static_cast<int>((deadline - now()) * 1000);
    if (left < 0) return false;
    long n = readSome(fd_, buffer_.data() + end_, buffer_.size() - end_, left);
    if (n <= 0) return false;
    end_ += static_cast<size_t>(n);
  }
}

std::vector<std::string> LineInput::drain() {
  std::vector<std::string> lines;
  std::string_view line;
  while (next(line, 0)) lines.emplace_back(line);
  return lines;
}

}  // namespace bench
