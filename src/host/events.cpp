#include "host/events.h"

#include <array>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// Beyond this many queued bytes a thread other than the command thread waits for the writer.
constexpr size_t roomLimit = 1u << 18;

struct Output {
  std::mutex lock;                  // outputLock: guards everything below, never held while writing
  std::condition_variable changed;  // a write finished
  std::condition_variable helperWanted;
  std::string queued;  // whole lines, each with its CR LF, not yet written
  std::string batch;   // the writer's: what it is writing now
  bool writing = false;
  bool failed = false;  // a write failed: later events are dropped
  bool ending = false;  // the process is ending: no more lines are queued
  bool ended = false;   // ... and none more written
  bool helperStarted = false;
};

// Never destroyed: platform threads may still emit while the process ends.
Output& output() {
  static auto* instance = new Output;
  return *instance;
}

thread_local bool commandThread = false;

bool writeOut(std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
  return !std::ferror(stdout);
}

// No more lines are taken.
bool closedLocked(const Output& o) {
  return o.failed || o.ending;
}

// No more lines are written.
bool stoppedLocked(const Output& o) {
  return o.failed || o.ended;
}

void queueLocked(Output& o, std::string_view text) {
  o.queued.append(text);
  o.queued.append("\r\n", 2);
}

// With the lock held and nobody else writing: writes until nothing is queued.
void drainLocked(Output& o, std::unique_lock<std::mutex>& guard) {
  o.writing = true;
  while (!o.queued.empty() && !stoppedLocked(o)) {
    o.batch.swap(o.queued);
    guard.unlock();
    bool ok = writeOut(o.batch);
    o.batch.clear();
    guard.lock();
    if (!ok) o.failed = true;
    // A burst the host read slowly leaves no large buffers behind.
    if (o.batch.capacity() > 2 * roomLimit) std::string().swap(o.batch);
    o.changed.notify_all();
  }
  if (stoppedLocked(o)) o.queued.clear();
  o.writing = false;
  o.changed.notify_all();
}

// Writes the command thread's lines when nobody else is writing.
[[noreturn]] void runHelper() {
  Output& o = output();
  std::unique_lock guard(o.lock);
  for (;;) {
    o.helperWanted.wait(guard,
                        [&] { return !o.writing && !o.queued.empty() && !stoppedLocked(o); });
    drainLocked(o, guard);
  }
}

// True when the helper runs (started now if need be); false when no thread can be made.
bool helperRunsLocked(Output& o) {
  if (o.helperStarted) return true;
  try {
    std::thread(runHelper).detach();
  } catch (const std::system_error&) {
    return false;
  }
  o.helperStarted = true;
  return true;
}

void writeQueuedLocked(Output& o, std::unique_lock<std::mutex>& guard) {
  if (o.queued.empty() || stoppedLocked(o)) return;
  if (commandThread) {
    if (o.writing) return;  // the writer takes these lines along
    if (helperRunsLocked(o)) {
      o.helperWanted.notify_one();
      return;
    }
    // No thread to spare: the command thread writes its lines itself.
  }
  if (o.writing) {
    o.changed.wait(guard, [&] { return !o.writing || o.queued.size() < roomLimit; });
    if (o.writing) return;
  }
  drainLocked(o, guard);
}

}  // namespace

void queueEvent(std::string_view text) {
  Output& o = output();
  std::lock_guard guard(o.lock);
  if (!closedLocked(o)) queueLocked(o, text);
}

void writeEvents() {
  Output& o = output();
  std::unique_lock guard(o.lock);
  writeQueuedLocked(o, guard);
}

void emitEvent(std::string_view text) {
  static constexpr std::string_view lineEnd = "\r\n";
  Output& o = output();
  std::unique_lock guard(o.lock);
  if (closedLocked(o)) return;
  if (o.writing || !o.queued.empty() || commandThread) {
    queueLocked(o, text);
    writeQueuedLocked(o, guard);
    return;
  }
  // Nobody else is writing: the line goes out from the caller's own text, then whatever was
  // queued meanwhile.
  o.writing = true;
  guard.unlock();
  std::fwrite(text.data(), 1, text.size(), stdout);
  bool ok = writeOut(lineEnd);
  guard.lock();
  if (!ok) {
    o.failed = true;
    o.queued.clear();
  }
  drainLocked(o, guard);
}

void neverWaitForOutput() {
  commandThread = true;
}

bool endEvents(std::chrono::milliseconds patience) {
  Output& o = output();
  std::unique_lock guard(o.lock);
  o.ending = true;
  bool written = o.changed.wait_for(guard, patience,
                                    [&] { return !o.writing && (o.queued.empty() || o.failed); });
  o.ended = true;
  return written;
}

namespace {

// Bytes that jsonEscape must rewrite: the control bytes, the double quote and the backslash.
constexpr std::array<bool, 256> needsEscape = [] {
  std::array<bool, 256> table{};
  for (int b = 0; b < 0x20; ++b) table[b] = true;
  table['"'] = table['\\'] = true;
  return table;
}();

}  // namespace

std::string jsonEscape(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  size_t i = 0;
  while (i < text.size()) {
    // Runs of bytes that pass unchanged are copied whole.
    size_t start = i;
    while (i < text.size() && !needsEscape[static_cast<unsigned char>(text[i])]) ++i;
    out.append(text.data() + start, i - start);
    if (i == text.size()) break;
    auto b = static_cast<unsigned char>(text[i++]);
    switch (b) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += "\\u00";
        out += hex[b >> 4];
        out += hex[b & 0xF];
    }
  }
  return out;
}
