#pragma once
// Projected asynchronous operations as the seam's Async.
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/windows/errors.h"

namespace platform {

namespace detail {

template <typename T>
using OperationValue = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

// What a finished operation gives: its converted result or its failure, never both.
template <typename T>
struct OperationOutcome {
  std::optional<OperationValue<T>> value;
  std::optional<hresult_error> error;
};

template <typename T, typename Op, typename Convert>
OperationOutcome<T> outcomeOf(const Op& op, wf::AsyncStatus status, Convert& convert) {
  try {
    if (status == wf::AsyncStatus::Completed) {
      if constexpr (std::is_void_v<T>) {
        op.GetResults();
        return {std::monostate{}, {}};
      } else {
        return {convert(op.GetResults()), {}};
      }
    }
    // A failed operation throws from GetResults with the error details it recorded.
    if (status == wf::AsyncStatus::Error) op.GetResults();
    int32_t code = op.ErrorCode();
    // A cancelled operation need not carry a failure code of its own.
    if (code >= 0) {
      code = status == wf::AsyncStatus::Canceled ? HRESULT_FROM_WIN32(ERROR_CANCELLED) : E_FAIL;
    }
    return {{}, platformError(code)};
  } catch (const winrt::hresult_error& e) {
    return {{}, platformError(e)};
  } catch (const hresult_error& e) {
    // The conversion refused the result (one that reports a failure of its own).
    return {{}, e};
  } catch (const std::bad_alloc&) {
    // Wrapping the result failed. Thrown out of a Completed handler it would leave the
    // awaiting task suspended for good; as a failure the task reports it.
    return {{}, platformError(E_OUTOFMEMORY)};
  }
}

// Completes the seam's operation. The awaiting coroutine, if any, resumes inside this call,
// so it runs with nothing of ours around it that could catch what it throws.
template <typename T>
void deliver(const Completion<T>& done, OperationOutcome<T>&& outcome) {
  if (outcome.error) {
    done.fail(std::move(*outcome.error));
  } else if constexpr (std::is_void_v<T>) {
    done.complete();
  } else {
    done.complete(std::move(*outcome.value));
  }
}

}  // namespace detail

// Completes at once when the operation has already finished; otherwise the awaiting
// coroutine resumes on the thread that delivers the operation's Completed callback, with no
// switch of thread. A failed or cancelled operation fails the Async with its code. `start`
// makes the operation; a failure to start it fails the Async at once.
template <typename T, typename Start, typename Convert>
Async<T> fromOperation(Start&& start, Convert convert) {
  using Op = std::decay_t<decltype(start())>;
  Op op{nullptr};
  try {
    op = start();
  } catch (const winrt::hresult_error& e) {
    return Async<T>::failed(platformError(e));
  }
  auto [async, done] = Async<T>::pending();
  std::optional<hresult_error> refused;
  try {
    wf::AsyncStatus status = op.Status();
    if (status != wf::AsyncStatus::Started) {
      detail::deliver(done, detail::outcomeOf<T>(op, status, convert));
    } else {
      // The handler holds the operation until it fires, so that the operation lives as long
      // as someone waits for it, and lets go of it then, which ends the cycle between the two.
      // Fires at once on this thread when the operation finished in between.
      op.Completed([done = done, convert = std::move(convert), self = op](
                       const Op& sender, wf::AsyncStatus s) mutable {
        Op keep = std::exchange(self, nullptr);
        detail::deliver(done, detail::outcomeOf<T>(sender, s, convert));
      });
    }
  } catch (const winrt::hresult_error& e) {
    refused = platformError(e);
  }
  if (refused) done.fail(std::move(*refused));
  return std::move(async);
}

// The same for operations whose result the seam takes as it is.
template <typename T, typename Start>
Async<T> fromOperation(Start&& start) {
  return fromOperation<T>(std::forward<Start>(start), [](auto value) { return value; });
}

}  // namespace platform
