#pragma once
// The runtime's asynchronous operations as the double hands them out, finished by the model's.
#include <coroutine>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "common.h"
#include "failures.h"

namespace stack {

using winrt::implements;
using winrt::make_self;

// One operation, strict as the runtime's own: Completed may be assigned once (again:
// E_ILLEGAL_DELEGATE_ASSIGNMENT) and runs at once, on the assigning thread, when the operation
// has already finished; otherwise it runs on the thread that finishes it (a platform thread of
// the model). GetResults before the end is refused; after a failure it raises the failure.
template <typename Interface, typename Result, typename Handler, typename ProgressHandler>
struct Operation : implements<Operation<Interface, Result, Handler, ProgressHandler>, Interface,
                              wf::IAsyncInfo> {
  using Value = std::conditional_t<std::is_void_v<Result>, bool, Result>;

  explicit Operation(std::string what) : name(label(what.c_str())) { trace(name + " started"); }

  void Completed(const Handler& handler) {
    std::unique_lock guard(lock);
    if (assigned) {
      guard.unlock();
      refuse(name + ".Completed", illegalDelegateAssignment, "assigned once already");
    }
    assigned = true;
    if (status == wf::AsyncStatus::Started) {
      completed = handler;
      return;
    }
    wf::AsyncStatus now = status;
    guard.unlock();
    trace(name + " Completed assigned after the end: runs at once");
    invoke(handler, now);
  }
  Handler Completed() const {
    std::lock_guard guard(lock);
    return completed;
  }
  void Progress(const ProgressHandler& handler) {
    std::lock_guard guard(lock);
    progress = handler;
  }
  ProgressHandler Progress() const {
    std::lock_guard guard(lock);
    return progress;
  }

  Result GetResults() {
    std::unique_lock guard(lock);
    switch (status) {
      case wf::AsyncStatus::Completed:
        if constexpr (std::is_void_v<Result>)
          return;
        else
          return *value;
      case wf::AsyncStatus::Error: {
        platform::hresult_error e = error;
        guard.unlock();
        trace(name + ".GetResults raises " + hex(e.code));
        raise(e);
      }
      case wf::AsyncStatus::Canceled:
        guard.unlock();
        raise(cancelled);
      default:
        guard.unlock();
        refuse(name + ".GetResults", illegalMethodCall, "the operation has not finished");
    }
  }

  uint32_t Id() const { return id; }
  wf::AsyncStatus Status() const {
    std::lock_guard guard(lock);
    return status;
  }
  winrt::hresult ErrorCode() const {
    std::lock_guard guard(lock);
    return status == wf::AsyncStatus::Error ? error.code : 0;
  }
  void Cancel() {
    trace(name + ".Cancel");
    finish(wf::AsyncStatus::Canceled, [] {});
  }
  void Close() {}

  // The producer's side.
  void complete(Value result) {
    finish(wf::AsyncStatus::Completed, [&] { value = std::move(result); });
  }
  void fail(const platform::hresult_error& e) {
    finish(wf::AsyncStatus::Error, [&] { error = e; });
  }

 private:
  template <typename Fill>
  void finish(wf::AsyncStatus how, Fill&& fill) {
    Handler handler;
    {
      std::lock_guard guard(lock);
      if (status != wf::AsyncStatus::Started) return;
      fill();
      status = how;
      handler = std::move(completed);
      completed = nullptr;
    }
    trace(name + (how == wf::AsyncStatus::Completed ? " completed"
                  : how == wf::AsyncStatus::Error   ? " failed " + hex(error.code)
                                                    : " canceled"));
    if (handler) invoke(handler, how);
  }

  void invoke(const Handler& handler, wf::AsyncStatus how) {
    callHandler(name + ".Completed", [&] { handler(*this, how); });
  }

  static inline std::atomic<uint32_t> ids{0};
  const std::string name;
  const uint32_t id = ++ids;
  mutable std::mutex lock;
  wf::AsyncStatus status = wf::AsyncStatus::Started;
  std::optional<Value> value;
  platform::hresult_error error;
  bool assigned = false;
  Handler completed;
  ProgressHandler progress;
};

template <typename T>
using Op =
    Operation<wf::IAsyncOperation<T>, T, wf::AsyncOperationCompletedHandler<T>, std::nullptr_t>;
using Action = Operation<wf::IAsyncAction, void, wf::AsyncActionCompletedHandler, std::nullptr_t>;
template <typename T, typename P>
using ProgressOp = Operation<wf::IAsyncOperationWithProgress<T, P>, T,
                             wf::AsyncOperationWithProgressCompletedHandler<T, P>,
                             wf::AsyncOperationProgressHandler<T, P>>;

// Runs a coroutine to its end with nobody waiting for it.
struct Detached {
  struct promise_type {
    Detached get_return_object() { return {}; }
    std::suspend_never initial_suspend() { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() {}
    void unhandled_exception() { std::terminate(); }
  };
};

// The model's failures as they are.
struct SameFailure {
  platform::hresult_error operator()(platform::hresult_error e) const { return e; }
};

// Finishes `to` when the model's operation finishes, on the thread that finishes it; a failure
// as `failure` gives it.
template <typename T, typename To, typename Convert, typename Failure = SameFailure>
Detached pipe(platform::Async<T> from, winrt::com_ptr<To> to, Convert convert,
              Failure failure = {}) {
  std::optional<platform::hresult_error> failed;
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(from);
      to->complete(convert());
    } else {
      to->complete(convert(co_await std::move(from)));
    }
  } catch (const platform::hresult_error& e) {
    failed = e;
  } catch (const winrt::hresult_error& e) {
    failed = platform::hresult_error{e.code(), units(e.message())};
  }
  if (failed) to->fail(failure(std::move(*failed)));
}

// Finishes `op` when `inner`, an operation of the stream underneath, ends: with what `take`
// makes of its results, or with its failure. `settle` runs first either way, so the reader or
// writer takes its next load or store before anyone hears this one ended.
template <typename Inner, typename Outer, typename Take, typename Settle>
void finishWith(const Inner& inner, winrt::com_ptr<Outer> op, Take take, Settle settle) {
  inner.Completed([op, take = std::move(take), settle = std::move(settle)](const Inner& sender,
                                                                           wf::AsyncStatus) {
    std::optional<platform::hresult_error> failed;
    typename Outer::Value result{};
    try {
      result = take(sender.GetResults());
    } catch (const winrt::hresult_error& e) {
      failed = platform::hresult_error{e.code(), units(e.message())};
    }
    settle();
    if (failed)
      op->fail(*failed);
    else
      op->complete(std::move(result));
  });
}

// Close of a data reader or writer: it is closed, and so is the stream under it.
template <typename Stream>
void closeOver(std::mutex& lock, bool& closed, Stream& stream) {
  Stream taken{nullptr};
  {
    std::lock_guard guard(lock);
    closed = true;
    taken = std::exchange(stream, nullptr);
  }
  if (auto closable = taken.template try_as<wf::IClosable>()) closable.Close();
}

template <typename Projected, typename T, typename Convert>
wf::IAsyncOperation<Projected> operation(const char* what, platform::Async<T> from,
                                         Convert convert) {
  auto op = make_self<Op<Projected>>(what);
  pipe(std::move(from), op, std::move(convert));
  return op.template as<wf::IAsyncOperation<Projected>>();
}

}  // namespace stack
