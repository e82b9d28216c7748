// The simulated radio's platform threads: posted work runs off the caller's thread, after its
// delay, and never waits for other work, however many threads sit idle or busy.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/sim/runtime.h"

namespace {

using namespace std::chrono_literals;

// Counts finished items; waits for a number of them with a generous bound.
class Tally {
 public:
  void add() {
    std::lock_guard guard(lock_);
    ++count_;
    changed_.notify_all();
  }
  bool reaches(int n, std::chrono::seconds bound = 10s) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, bound, [&] { return count_ >= n; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int count_ = 0;
};

TEST(PlatformThreads, RunPostedWorkOffTheCallersThreadAfterItsDelay) {
  Tally done;
  std::thread::id ranOn;
  auto posted = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration waited{};
  sim::post(30, [&] {
    ranOn = std::this_thread::get_id();
    waited = std::chrono::steady_clock::now() - posted;
    done.add();
  });
  ASSERT_TRUE(done.reaches(1));
  EXPECT_NE(ranOn, std::this_thread::get_id());
  EXPECT_GE(waited, 30ms);
}

// Each item waits until all of them have started: a pool that let work queue behind busy
// threads would never get there. Idle threads from earlier work are about, and are reused.
TEST(PlatformThreads, WorkNeverWaitsForOtherWork) {
  Tally warm;
  for (int i = 0; i < 4; ++i) sim::post(0, [&] { warm.add(); });
  ASSERT_TRUE(warm.reaches(4));  // leaves idle threads behind

  constexpr int items = 24;
  Tally started, finished;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < items; ++i) {
      sim::post(0, [&, round] {
        started.add();
        if (started.reaches((round + 1) * items)) finished.add();
      });
    }
    ASSERT_TRUE(finished.reaches((round + 1) * items)) << "round " << round;
  }
}

}  // namespace
