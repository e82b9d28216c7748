#pragma once
// The driver's plumbing: child processes on pipes, the phone's socket, line input with
// timeouts, and what /proc tells about a process.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// Seconds on a monotonic clock.
double now();

struct Child {
  pid_t pid = -1;
  int in = -1;   // our end of the child's standard input
  int out = -1;  // our end of the child's standard output
};

// Starts `argv` with standard input and output on pipes and standard error on /dev/null;
// `env` entries (NAME=value) are added to ours. Throws on failure.
Child spawnChild(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// Closes our ends and waits for the child; its exit status, or -1 when it died of a signal
// or did not end within `timeoutMs` (it is killed then).
int finishChild(Child& child, int timeoutMs = 10000);

// CPU seconds the whole process has used so far, every thread included (dead ones too).
double cpuSeconds(pid_t pid);

// A "VmHWM"/"VmRSS" line of /proc/PID/status in kB, or -1.
long statusKb(pid_t pid, const char* field);

// Keeps every thread of process `pid` (0: the calling thread alone) on one core, the first this
// process may use, or with `pin` false lets them run on any of those again. Threads started
// later inherit it from their creator.
void pinToOneCore(pid_t pid, bool pin);

// Writes all of `data`; false when the other end is gone.
bool writeAll(int fd, const void* data, size_t size);

// Reads what is there (up to `size`), waiting at most `timeoutMs`; 0 at the end, -1 on timeout
// or error.
long readSome(int fd, void* data, size_t size, int timeoutMs);

// The phone's side of the live link: a Unix-domain socket the phone connects to.
class Listener {
 public:
  explicit Listener(std::string path);
  ~Listener();
  // The next connection, or -1 after `timeoutMs`.
  int accept(int timeoutMs);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// Lines of a child's standard output, CR LF or LF ended, with a timeout per line.
class LineInput {
 public:
  explicit LineInput(int fd) : fd_(fd) {}
  // The next line without its line end, valid until the next call; false at the end or after
  // `timeoutMs` without a whole line.
  bool next(std::string_view& line, int timeoutMs);
  // Whole lines that can be had without waiting.
  std::vector<std::string> drain();

 private:
  int fd_;
  std::vector<char> buffer_ = std::vector<char>(1 << 17);
  size_t begin_ = 0, end_ = 0;  // the bytes not yet returned
};

}  // namespace bench
