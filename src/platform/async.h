#pragma once
#include <condition_variable>
#include <coroutine>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/error.h"

namespace platform {

template <typename T>
class Async;
template <typename T>
class Completion;

namespace detail {

template <typename T>
struct AsyncValue {
  std::optional<T> value;
  template <typename U>
  void set(U&& v) {
    value.emplace(std::forward<U>(v));
  }
  T take() { return std::move(*value); }
};

template <>
struct AsyncValue<void> {
  void take() {}
};

template <typename T>
struct AsyncState {
  std::mutex mutex;
  std::condition_variable finished;
  bool completed = false;
  std::optional<hresult_error> error;
  AsyncValue<T> result;
  std::coroutine_handle<> waiter;

  // Marks the operation complete; the waiter, if any, resumes on this thread.
  template <typename Fill>
  void complete(Fill&& fill) {
    std::coroutine_handle<> resume;
    {
      std::lock_guard lock(mutex);
      if (completed) return;
      fill();
      completed = true;
      resume = std::exchange(waiter, nullptr);
    }
    finished.notify_all();
    if (resume) resume.resume();
  }
};

}  // namespace detail

// One-shot asynchronous platform operation, awaited once.
// Resumes the awaiting coroutine at once on its own thread when the operation was already
// complete, otherwise on the platform thread that completes it, with no thread switch.
// A failed or cancelled operation raises hresult_error at the co_await.
template <typename T>
class [[nodiscard]] Async {
 public:
  using State = detail::AsyncState<T>;

  explicit Async(std::shared_ptr<State> state) : state_(std::move(state)) {}

  // A pending operation and the handle its backend completes it through.
  static std::pair<Async, Completion<T>> pending() {
    auto state = std::make_shared<State>();
    return {Async(state), Completion<T>(state)};
  }

  template <typename U = T>
  requires(!std::is_void_v<T>) static Async ready(U&& value) {
    auto [op, done] = pending();
    done.complete(std::forward<U>(value));
    return std::move(op);
  }

  static Async ready() requires std::is_void_v<T> {
    auto [op, done] = pending();
    done.complete();
    return std::move(op);
  }

  static Async failed(hresult_error error) {
    auto [op, done] = pending();
    done.fail(std::move(error));
    return std::move(op);
  }

  bool await_ready() const {
    std::lock_guard lock(state_->mutex);
    return state_->completed;
  }

  bool await_suspend(std::coroutine_handle<> h) {
    std::lock_guard lock(state_->mutex);
    if (state_->completed) return false;
    state_->waiter = h;
    return true;
  }

  T await_resume() {
    if (state_->error) throw *state_->error;
    return state_->result.take();
  }

  // Blocks the calling thread until the operation completes; for the start-up probe only.
  T get() {
    {
      std::unique_lock lock(state_->mutex);
      state_->finished.wait(lock, [&] { return state_->completed; });
    }
    return await_resume();
  }

 private:
  std::shared_ptr<State> state_;
};

// The producer's side of an Async: completes it exactly once, from any thread.
template <typename T>
class Completion {
 public:
  Completion() = default;
  explicit Completion(std::shared_ptr<detail::AsyncState<T>> state) : state_(std::move(state)) {}

  template <typename U = T>
  requires(!std::is_void_v<T>) void complete(U&& value) const {
    state_->complete([&] { state_->result.set(std::forward<U>(value)); });
  }

  void complete() const requires std::is_void_v<T> {
    state_->complete([] {});
  }

  void fail(hresult_error error) const {
    state_->complete([&] { state_->error = std::move(error); });
  }

  explicit operator bool() const { return state_ != nullptr; }

 private:
  std::shared_ptr<detail::AsyncState<T>> state_;
};

}  // namespace platform
