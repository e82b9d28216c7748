#include "platform/posix/pool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace posix {

namespace {

// A thread stays for more work after its own, since starting one costs far more than the
// work of a completion. Idle threads stay for good: one that ended in the middle of a
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

// Never destroyed: its threads may still run while the process ends.
Pool& pool() {
  static auto* instance = new Pool;
  return *instance;
}

}  // namespace

void runOnPlatformThread(std::function<void()> work) {
  pool().post(std::move(work));
}

}  // namespace posix
