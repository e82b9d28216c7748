#include "harness/bridge_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace harness {

namespace fs = std::filesystem;

namespace {

fs::path freshDirectory() {
  static std::atomic<int> counter{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "bridge";
  for (char& c : name)
    if (c == '/') c = '_';
  fs::path dir = fs::temp_directory_path() / ("quintel-e2e-" + std::to_string(::getpid()) + "-" +
                                              std::to_string(counter++) + "-" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

}  // namespace

std::vector<std::string> splitCrlf(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

BridgeProcess::BridgeProcess(Options options) {
  signal(SIGPIPE, SIG_IGN);
  dir_ = freshDirectory();
  // The checks that need no radio also run against another build of the bridge (the Windows
  // exe under wine, tests/wine/run_under_wine.sh): its path, and the program that starts it.
  const char* other = std::getenv("QUINTEL_E2E_BRIDGE");
  fs::path source = other && *other ? fs::path(other) : fs::path(BRIDGE_EXE);
  const char* launcher = std::getenv("QUINTEL_E2E_LAUNCHER");
  if (launcher && !*launcher) launcher = nullptr;
  fs::path exe = dir_ / source.filename();
  fs::copy_file(source, exe, fs::copy_options::overwrite_existing);
  std::string worldPath;
  if (!options.world.empty()) {
    worldPath = (dir_ / "world.txt").string();
    std::ofstream(worldPath, std::ios::binary) << options.world;
  }
  if (options.beforeStart) options.beforeStart(dir_);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
    throw std::runtime_error("pipe");
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (worldPath.empty())
      unsetenv("QUINTEL_BT_WORLD");
    else
      setenv("QUINTEL_BT_WORLD", worldPath.c_str(), 1);
    for (const auto& e : options.env) putenv(const_cast<char*>(e.c_str()));
    if (launcher)
      execlp(launcher, launcher, exe.c_str(), static_cast<char*>(nullptr));
    else
      execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  stdin_ = in[1];
  if (options.closeStdout) {
    close(out[0]);
    outClosed_ = true;
  } else {
    outThread_ = std::thread([this, fd = out[0]] { pump(fd, out_); });
  }
  if (options.closeStderr)
    close(err[0]);
  else
    errThread_ = std::thread([this, fd = err[0]] { pump(fd, err_); });
}

BridgeProcess::~BridgeProcess() {
  closeInput();
  if (!status_ && wait(20s) == -1 && !status_) {
  }
  resumeOutput();
  if (outThread_.joinable()) outThread_.join();
  if (errThread_.joinable()) errThread_.join();
  if (!::testing::Test::HasFailure()) {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
}

void BridgeProcess::pump(int fd, std::string& sink) {
  char buf[65536];
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      bool& paused = &sink == &out_ ? outPaused_ : errPaused_;
      changed_.wait(lock, [&] { return !paused; });
    }
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard lock(mutex_);
    if (n <= 0) {
      if (&sink == &out_) outClosed_ = true;
      changed_.notify_all();
      break;
    }
    sink.append(buf, static_cast<size_t>(n));
    changed_.notify_all();
  }
  close(fd);
}

void BridgeProcess::pauseOutput() {
  std::lock_guard lock(mutex_);
  outPaused_ = true;
}

void BridgeProcess::resumeOutput() {
  std::lock_guard lock(mutex_);
  outPaused_ = errPaused_ = false;
  changed_.notify_all();
}

void BridgeProcess::pauseErrors() {
  std::lock_guard lock(mutex_);
  errPaused_ = true;
}

void BridgeProcess::send(const std::string& line) {
  sendRaw(line + "\n");
}

void BridgeProcess::sendRaw(const std::string& bytes) {
  size_t done = 0;
  while (stdin_ >= 0 && done < bytes.size()) {
    ssize_t n = write(stdin_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

void BridgeProcess::closeInput() {
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
}

std::optional<std::string> BridgeProcess::nextEvent(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::optional<std::string> line;
  changed_.wait_for(lock, timeout, [&] {
    size_t end = out_.find("\r\n", taken_);
    if (end != std::string::npos) {
      line = out_.substr(taken_, end - taken_);
      taken_ = end + 2;
      return true;
    }
    return outClosed_;
  });
  return line;
}

std::optional<std::string> BridgeProcess::waitEvent(const std::string& needle,
                                                    std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto e = nextEvent(left);
    if (!e) return std::nullopt;
    if (e->find(needle) != std::string::npos) return e;
  }
}

std::vector<std::string> BridgeProcess::drainEvents(std::chrono::milliseconds quiet) {
  std::vector<std::string> lines;
  while (auto e = nextEvent(quiet)) lines.push_back(*e);
  return lines;
}

int BridgeProcess::wait(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int raw = 0;
  for (;;) {
    pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &raw, 0);
      status_ = -1;
      resumeOutput();
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  // The process is gone, so its pipes are at their end: take what it wrote last.
  resumeOutput();
  if (outThread_.joinable()) outThread_.join();
  if (errThread_.joinable()) errThread_.join();
  return *status_;
}

std::string BridgeProcess::stdoutBytes() {
  std::lock_guard lock(mutex_);
  return out_;
}

std::string BridgeProcess::stderrBytes() {
  std::lock_guard lock(mutex_);
  return err_;
}

std::string BridgeProcess::logBytes() const {
  std::ifstream file(dir_ / "quintel-bt.log", std::ios::binary);
  std::ostringstream all;
  all << file.rdbuf();
  return all.str();
}

std::vector<std::string> BridgeProcess::logLines() const {
  std::string bytes = logBytes();
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
  return splitCrlf(bytes);
}

bool BridgeProcess::waitLog(const std::string& needle, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (logBytes().find(needle) != std::string::npos) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

}  // namespace harness
