#include "host/log.h"

#include <cstdio>
#include <mutex>

#include "platform/platform.h"

std::timed_mutex logLock;

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
  if (!std::ferror(stderr)) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fwrite("\r\n", 1, 2, stderr);
    std::fflush(stderr);
  }
  std::ofstream& file = logFile();
  if (!file.good()) return;
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.write("\r\n", 2);
  file.flush();
}
