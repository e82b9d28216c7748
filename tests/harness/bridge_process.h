#pragma once
// Runs the real bridge executable through pipes, the way a host does: its own copy in its
// own directory (the log file sits beside it), on a world of the test's own.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace harness {

using namespace std::chrono_literals;

struct Options {
  std::string world;             // world text; empty: the built-in default world
  bool closeStdout = false;      // the host closes its read end of standard output at once
  bool closeStderr = false;      // ... and of standard error
  std::vector<std::string> env;  // extra NAME=value entries
  std::function<void(const std::filesystem::path& dir)>
      beforeStart;  // e.g. make the log unwritable
};

class BridgeProcess {
 public:
  explicit BridgeProcess(Options options = {});
  ~BridgeProcess();
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  int pid() const { return pid_; }

  // Writes one command line (LF added) or raw bytes to the bridge's standard input.
  void send(const std::string& line);
  void sendRaw(const std::string& bytes);
  void closeInput();

  // The host stops reading standard output (after the read under way, if any), and reads on:
  // both standard output and standard error.
  void pauseOutput();
  void resumeOutput();
  // The host stops reading standard error, until resumeOutput.
  void pauseErrors();

  // The next event line (without its CR LF), or nothing after `timeout` or at the end.
  std::optional<std::string> nextEvent(std::chrono::milliseconds timeout = 10s);
  // Skips events until one contains `needle`; returns it (nothing on timeout).
  std::optional<std::string> waitEvent(const std::string& needle,
                                       std::chrono::milliseconds timeout = 10s);
  // Every event line not yet taken, after waiting until none arrives for `quiet`.
  std::vector<std::string> drainEvents(std::chrono::milliseconds quiet = 300ms);

  // Waits for the process to exit; its exit status, or -1 on timeout (the process is killed)
  // or when it died of a signal.
  int wait(std::chrono::milliseconds timeout = 20s);

  // Everything the bridge wrote so far, byte for byte.
  std::string stdoutBytes();
  std::string stderrBytes();
  // The log file's bytes and its lines (after the BOM, split on CR LF).
  std::string logBytes() const;
  std::vector<std::string> logLines() const;
  // Waits until a log line contains `needle` (in the log file).
  bool waitLog(const std::string& needle, std::chrono::milliseconds timeout = 10s);

 private:
  void pump(int fd, std::string& sink);

  std::filesystem::path dir_;
  int pid_ = -1;
  int stdin_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_, err_;
  size_t taken_ = 0;  // bytes of out_ already returned as events
  bool outClosed_ = false;
  bool outPaused_ = false;
  bool errPaused_ = false;
  std::thread outThread_, errThread_;
  std::optional<int> status_;
};

// Splits on CR LF; a trailing piece without CR LF is dropped.
std::vector<std::string> splitCrlf(const std::string& bytes);

}  // namespace harness
