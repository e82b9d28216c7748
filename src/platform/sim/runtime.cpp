#include "platform/sim/runtime.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/posix/pool.h"

namespace sim {

namespace {

// `completions one-thread`: one platform thread runs every piece of posted work, in the order
// it falls due. Never destroyed: like the OS's threads, it may still run while the process ends.
class SharedThread {
 public:
  static SharedThread& instance() {
    static auto* shared = new SharedThread;
    return *shared;
  }

  void add(uint32_t delayMs, std::function<void()> work) {
    std::lock_guard guard(lock_);
    // Equal due times keep the order they were posted in.
    due_.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs),
                 std::move(work));
    changed_.notify_one();
  }

 private:
  SharedThread() {
    std::thread([this] { run(); }).detach();
  }

  void run() {
    std::unique_lock guard(lock_);
    for (;;) {
      if (due_.empty()) {
        changed_.wait(guard);
        continue;
      }
      auto first = due_.begin();
      if (first->first > std::chrono::steady_clock::now()) {
        changed_.wait_until(guard, first->first);
        continue;
      }
      std::function<void()> work = std::move(first->second);
      due_.erase(first);
      guard.unlock();
      work();
      guard.lock();
    }
  }

  std::mutex lock_;  // guards due_
  std::condition_variable changed_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> due_;
};

}  // namespace

void post(uint32_t delayMs, std::function<void()> work) {
  switch (world().completions) {
    case Completions::atOnce:
      return work();
    case Completions::oneThread:
      return SharedThread::instance().add(delayMs, std::move(work));
    case Completions::platformThread:
      break;
  }
  if (delayMs == 0) {
    posix::runOnPlatformThread(std::move(work));
    return;
  }
  posix::runOnPlatformThread([delayMs, work = std::move(work)] {
    sleepMs(delayMs);
    work();
  });
}

namespace {
#ifdef _WIN32
// The system's own lock and condition: in a library under wine, the C++ runtime's timed waits
// never wake, as its sleep does not.
SRWLOCK waitersLock = SRWLOCK_INIT;
CONDITION_VARIABLE waitersChanged = CONDITION_VARIABLE_INIT;
#else
struct Waiters {
  std::mutex lock;
  std::condition_variable changed;
};
// Never destroyed: detached platform threads may still wait or wake here while the process
// ends, after static objects are gone.
Waiters& waiters() {
  static auto* instance = new Waiters;
  return *instance;
}
#endif
}  // namespace

bool waitUntil(double ms, const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double, std::milli>(ms > 0 ? ms : 0));
#ifdef _WIN32
  AcquireSRWLockExclusive(&waitersLock);
  bool held = done();
  while (!held) {
    auto left =
        std::chrono::duration<double, std::milli>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    SleepConditionVariableSRW(&waitersChanged, &waitersLock,
                              static_cast<DWORD>(std::ceil(left.count())), 0);
    held = done();
  }
  ReleaseSRWLockExclusive(&waitersLock);
  return held;
#else
  Waiters& w = waiters();
  std::unique_lock guard(w.lock);
  return w.changed.wait_until(guard, deadline, done);
#endif
}

void wakeWaiters() {
#ifdef _WIN32
  AcquireSRWLockExclusive(&waitersLock);
  ReleaseSRWLockExclusive(&waitersLock);
  WakeAllConditionVariable(&waitersChanged);
#else
  Waiters& w = waiters();
  { std::lock_guard guard(w.lock); }
  w.changed.notify_all();
#endif
}

void postOnAir(uint32_t delayMs, const Since& mark, std::function<void(Loss)> work) {
  switch (world().completions) {
    case Completions::atOnce:
      return work(lost(mark));
    case Completions::oneThread:
      return SharedThread::instance().add(delayMs,
                                          [mark, work = std::move(work)] { work(lost(mark)); });
    case Completions::platformThread:
      break;
  }
  posix::runOnPlatformThread(
      [delayMs, mark, work = std::move(work)] { work(waitOnAir(delayMs, mark)); });
}

void sleepMs(double ms) {
  if (ms <= 0) return;
#ifdef _WIN32
  // In a library under wine, the C++ runtime's sleep never wakes; the system's own does.
  Sleep(static_cast<DWORD>(std::ceil(ms)));
#else
  std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
#endif
}

}  // namespace sim
