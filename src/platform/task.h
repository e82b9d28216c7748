#pragma once
#include <atomic>
#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

#include "platform/error.h"

namespace platform {

// A coroutine nobody awaits. It runs on the caller's thread up to its first wait that does
// not complete at once and then continues wherever that wait resumes it. Its frame frees
// itself at the end. Every task catches its own platform errors: any exception that escapes
// one, a stray hresult_error included, is a fault and ends the process at once, rather than
// leaving the host waiting for an event that never comes.
struct fire_and_forget {
  struct promise_type {
    fire_and_forget get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    [[noreturn]] void unhandled_exception() noexcept { std::terminate(); }
  };
};

namespace detail {

template <typename T>
struct TaskResult {
  std::optional<T> value;
  void return_value(T v) { value.emplace(std::move(v)); }
  T take() { return std::move(*value); }
};

template <>
struct TaskResult<void> {
  void return_void() noexcept {}
  void take() {}
};

}  // namespace detail

// An awaitable task that starts at once, inside the call. When it completes before it is
// awaited, the awaiting coroutine goes on without suspending; otherwise the awaiting
// coroutine resumes on the thread that completes the task. Must be awaited exactly once.
template <typename T>
class [[nodiscard]] Task {
 public:
  struct promise_type : detail::TaskResult<T> {
    // nullptr: running, not awaited; done(): finished; anything else: the awaiting coroutine.
    std::atomic<void*> state{nullptr};
    std::exception_ptr error;

    static void* done() {
      static char marker;
      return &marker;
    }

    Task get_return_object() {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_never initial_suspend() noexcept { return {}; }
    auto final_suspend() noexcept {
      struct Final {
        bool await_ready() noexcept { return false; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
          void* waiter = h.promise().state.exchange(done(), std::memory_order_acq_rel);
          if (waiter) return std::coroutine_handle<>::from_address(waiter);
          return std::noop_coroutine();
        }
        void await_resume() noexcept {}
      };
      return Final{};
    }
    void unhandled_exception() { error = std::current_exception(); }
  };

  Task(Task&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  Task& operator=(Task&&) = delete;
  ~Task() {
    if (h_) h_.destroy();
  }

  bool await_ready() const noexcept {
    return h_.promise().state.load(std::memory_order_acquire) == promise_type::done();
  }
  bool await_suspend(std::coroutine_handle<> awaiting) noexcept {
    void* expected = nullptr;
    return h_.promise().state.compare_exchange_strong(expected, awaiting.address(),
                                                      std::memory_order_acq_rel);
  }
  T await_resume() {
    if (h_.promise().error) std::rethrow_exception(h_.promise().error);
    return h_.promise().take();
  }

 private:
  explicit Task(std::coroutine_handle<promise_type> h) : h_(h) {}
  std::coroutine_handle<promise_type> h_;
};

}  // namespace platform
