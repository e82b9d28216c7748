#include "trace.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace stack {

namespace {

std::mutex lock;

FILE* file() {
  // Opened once; never closed, as calls may still come while the process ends.
  static FILE* out = [] {
    const char* path = std::getenv("QUINTEL_STACK_TRACE");
    if (!path || !*path) return static_cast<FILE*>(nullptr);
    // A Linux path, as the tests give it: wine shows the root on drive Z.
    std::string name = path[0] == '/' ? std::string("Z:").append(path) : std::string(path);
    return std::fopen(name.c_str(), "ab");
  }();
  return out;
}

}  // namespace

unsigned long threadId() {
  return GetCurrentThreadId();
}

std::string label(const char* kind) {
  static std::atomic<uint64_t> serial{0};
  return std::string(kind) + "#" + std::to_string(++serial);
}

void trace(const std::string& text) {
  FILE* out = file();
  if (!out) return;
  static const ULONGLONG start = GetTickCount64();
  std::string line = std::to_string(GetTickCount64() - start);
  line.append(" T").append(std::to_string(threadId()));
  line.append(1, ' ').append(text).append(1, '\n');
  std::lock_guard guard(lock);
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

}  // namespace stack
