// The seam's awaitables and task types: where each continuation runs.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/async.h"
#include "platform/task.h"

namespace {

using platform::Async;
using platform::fire_and_forget;
using platform::hresult_error;
using platform::Task;

// The thread a coroutine runs on, read so that no compiler can reuse a read from before a
// suspension: pthread_self is declared const, and an optimising clang 14 folds a this_thread
// id read before a co_await into one after it, though the coroutine resumed on another thread.
// The volatile pointer hides the callee, so every read is a real call.
std::thread::id (*volatile currentThread)() = [] { return std::this_thread::get_id(); };

struct Trace {
  std::thread::id beforeWait, afterWait;
  std::atomic<bool> finished{false};
  int value = 0;
  std::optional<int32_t> errorCode;
};

fire_and_forget awaitOne(Async<int> op, Trace& trace) {
  trace.beforeWait = currentThread();
  try {
    trace.value = co_await op;
  } catch (const hresult_error& e) {
    trace.errorCode = e.code;
  }
  trace.afterWait = currentThread();
  trace.finished = true;
}

TEST(FireAndForget, RunsInlineToTheFirstRealWaitThenResumesOnTheCompletingThread) {
  auto [op, done] = Async<int>::pending();
  Trace trace;
  awaitOne(std::move(op), trace);
  EXPECT_EQ(trace.beforeWait, std::this_thread::get_id());
  EXPECT_FALSE(trace.finished);
  std::thread::id completer;
  std::thread([&, done = done] {
    completer = std::this_thread::get_id();
    done.complete(5);
  }).join();
  EXPECT_TRUE(trace.finished);
  EXPECT_EQ(trace.afterWait, completer);
  EXPECT_EQ(trace.value, 5);
}

TEST(FireAndForget, ContinuesInlineWhenTheOperationIsAlreadyComplete) {
  Trace trace;
  awaitOne(Async<int>::ready(9), trace);
  EXPECT_TRUE(trace.finished);
  EXPECT_EQ(trace.afterWait, std::this_thread::get_id());
  EXPECT_EQ(trace.value, 9);
}

TEST(FireAndForget, AFailedOperationRaisesAtTheAwait) {
  Trace trace;
  awaitOne(Async<int>::failed({-5, u"boom"}), trace);
  EXPECT_EQ(trace.errorCode, -5);

  auto [op, done] = Async<int>::pending();
  Trace later;
  awaitOne(std::move(op), later);
  std::thread([done = done] { done.fail({7, u""}); }).join();
  EXPECT_EQ(later.errorCode, 7);
}

fire_and_forget throwsStrayPlatformError() {
  co_await Async<void>::ready();
  throw hresult_error{1, u""};
}

TEST(FireAndForgetDeathTest, AStrayPlatformErrorEndsTheProcess) {
  EXPECT_DEATH(throwsStrayPlatformError(), "");
}

fire_and_forget throwsSomethingElse() {
  co_await Async<void>::ready();
  throw std::runtime_error("not a platform error");
}

TEST(FireAndForgetDeathTest, AnyOtherEscapingExceptionEndsTheProcess) {
  EXPECT_DEATH(throwsSomethingElse(), "");
}

Task<int> addLater(Async<int> op, int add) {
  co_return (co_await op) + add;
}

fire_and_forget awaitTask(Task<int> task, Trace& trace) {
  trace.beforeWait = currentThread();
  try {
    trace.value = co_await task;
  } catch (const hresult_error& e) {
    trace.errorCode = e.code;
  }
  trace.afterWait = currentThread();
  trace.finished = true;
}

TEST(Task, CompletesInsideTheCallWhenItNeverWaits) {
  Trace trace;
  awaitTask(addLater(Async<int>::ready(1), 2), trace);
  EXPECT_TRUE(trace.finished);
  EXPECT_EQ(trace.value, 3);
  EXPECT_EQ(trace.afterWait, std::this_thread::get_id());
}

TEST(Task, ResumesItsAwaiterOnTheThreadThatCompletesIt) {
  auto [op, done] = Async<int>::pending();
  Trace trace;
  awaitTask(addLater(std::move(op), 10), trace);
  EXPECT_FALSE(trace.finished);
  std::thread::id completer;
  std::thread([&, done = done] {
    completer = std::this_thread::get_id();
    done.complete(1);
  }).join();
  EXPECT_TRUE(trace.finished);
  EXPECT_EQ(trace.value, 11);
  EXPECT_EQ(trace.afterWait, completer);
}

TEST(Task, PropagatesAPlatformError) {
  Trace trace;
  awaitTask(addLater(Async<int>::failed({3, u""}), 1), trace);
  EXPECT_EQ(trace.errorCode, 3);
}

TEST(Task, CompletionRacingTheAwaitIsNeverLost) {
  for (int i = 0; i < 2000; ++i) {
    auto [op, done] = Async<int>::pending();
    Trace trace;
    Task<int> task = addLater(std::move(op), 0);
    std::thread racer([done = done, i] { done.complete(i); });
    awaitTask(std::move(task), trace);
    racer.join();
    ASSERT_TRUE(trace.finished);
    ASSERT_EQ(trace.value, i);
  }
}

TEST(Async, BlockingGetWaitsForAnotherThread) {
  auto [op, done] = Async<int>::pending();
  std::thread t([done = done] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    done.complete(4);
  });
  EXPECT_EQ(op.get(), 4);
  t.join();
  EXPECT_THROW(Async<void>::failed({1, u""}).get(), hresult_error);
}

}  // namespace
