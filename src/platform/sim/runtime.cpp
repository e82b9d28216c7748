#include "platform/sim/runtime.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace sim {

namespace {

thread_local uint32_t lastErrorCode = 0;

// The platform threads that run posted work. A thread stays for more work after its own, since
// starting one costs far more than the work of a completion; but work never waits for a busy
// thread: when none is idle, a new one starts, so each item runs as soon as its delay is up,
// as on a thread of its own. Idle threads stay for good: one that ended in the middle of a
// transfer would fault in its exit path's pages then.
class Pool {
 public:
  void post(std::function<void()> work) {
    std::lock_guard guard(lock_);
    jobs_.push_back(std::move(work));
    if (idle_ >= jobs_.size()) {
      wake_.notify_one();
      return;
    }
    // Detached: like the OS's threads, it may still run while the process ends.
    std::thread([this] { run(); }).detach();
  }

 private:
  // Enough for the operations of a connect or a pairing in a row; a thread that would be one
  // more idle one ends instead.
  static constexpr size_t maxIdle = 4;

  void run() {
    std::unique_lock guard(lock_);
    for (;;) {
      if (jobs_.empty()) {
        if (idle_ >= maxIdle) return;
        ++idle_;
        wake_.wait(guard, [&] { return !jobs_.empty(); });
        --idle_;
      }
      std::function<void()> work = std::move(jobs_.front());
      jobs_.pop_front();
      guard.unlock();
      work();
      work = nullptr;  // whatever the work holds goes now, not when the next arrives
      guard.lock();
    }
  }

  std::mutex lock_;  // guards jobs_ and idle_
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  size_t idle_ = 0;  // threads waiting for work
};

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

// Never destroyed: its threads may still run while the process ends.
Pool& pool() {
  static auto* instance = new Pool;
  return *instance;
}

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
    pool().post(std::move(work));
    return;
  }
  pool().post([delayMs, work = std::move(work)] {
    sleepMs(delayMs);
    work();
  });
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

void setLastError(uint32_t code) {
  lastErrorCode = code;
}

}  // namespace sim

namespace platform {
uint32_t lastError() {
  return sim::lastErrorCode;
}
}  // namespace platform
