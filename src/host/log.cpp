#include "host/log.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/platform.h"

std::timed_mutex logLock;

namespace {

// Standard error is written by a thread of its own, so that a host that never reads it (the
// log file has every line) cannot stop the threads that log, the command thread among them.
// Beyond this many unwritten bytes, lines are dropped from standard error only.
constexpr size_t errorRoom = 1u << 18;

struct ErrorStream {
  std::mutex lock;  // guards everything below, never held while writing
  std::condition_variable wanted;
  std::condition_variable idle;
  std::string queued;  // whole lines with their CR LF, not yet written
  bool writing = false;
  bool failed = false;  // a write failed (the host closed its end): nothing more is written
  bool writerStarted = false;
};

// Never destroyed: threads may still log while the process ends.
ErrorStream& errorStream() {
  static auto* instance = new ErrorStream;
  return *instance;
}

bool writeError(std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
  return !std::ferror(stderr);
}

[[noreturn]] void runErrorWriter() {
  ErrorStream& s = errorStream();
  std::string batch;
  std::unique_lock guard(s.lock);
  for (;;) {
    s.wanted.wait(guard, [&] { return !s.queued.empty(); });
    batch.swap(s.queued);
    s.writing = true;
    guard.unlock();
    bool ok = writeError(batch);
    batch.clear();
    if (batch.capacity() > errorRoom) std::string().swap(batch);
    guard.lock();
    s.writing = false;
    if (!ok) {
      s.failed = true;
      s.queued.clear();
    }
    s.idle.notify_all();
  }
}

// With logLock held, so lines reach standard error in the order they reach the file.
void toStandardError(std::string_view text) {
  ErrorStream& s = errorStream();
  std::unique_lock guard(s.lock);
  if (s.failed) return;
  if (!s.writerStarted) {
    try {
      std::thread(runErrorWriter).detach();
      s.writerStarted = true;
    } catch (const std::system_error&) {
      // No thread to spare: the line is written here, as it waits.
      guard.unlock();
      std::string line(text);
      line += "\r\n";
      if (!writeError(line)) {
        guard.lock();
        s.failed = true;
      }
      return;
    }
  }
  if (s.queued.size() >= errorRoom) return;
  s.queued.append(text);
  s.queued.append("\r\n", 2);
  s.wanted.notify_one();
}

}  // namespace

std::ofstream& logFile() {
  // Never destroyed: threads may still log while the process ends.
  static std::ofstream* file = [] {
    auto* f = new std::ofstream;
    try {
      f->open(platform::executableDirectory() / "quintel-bt.log",
              std::ios::out | std::ios::binary | std::ios::trunc);
    } catch (...) {
      f->setstate(std::ios::failbit);
    }
    if (f->is_open()) f->write("\xEF\xBB\xBF", 3);
    return f;
  }();
  return *file;
}

void logLine(std::string_view text) {
  std::lock_guard<std::timed_mutex> lock(logLock);
  toStandardError(text);
  std::ofstream& file = logFile();
  if (!file.good()) return;
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.write("\r\n", 2);
  file.flush();
}

bool endLog(std::chrono::steady_clock::time_point deadline) {
  ErrorStream& s = errorStream();
  std::unique_lock guard(s.lock);
  return s.idle.wait_until(guard, deadline,
                           [&] { return s.failed || (!s.writing && s.queued.empty()); });
}
