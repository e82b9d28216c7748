#pragma once
// Projected asynchronous operations as the seam's Async.
#include <utility>

#include "platform/windows/errors.h"

namespace platform {

namespace detail {

// What a finished operation gives: its converted result, or its failure. A failed operation
// throws from GetResults with the error details it recorded; a cancelled one fails with its
// own code, or with ERROR_CANCELLED when it reports none.
template <typename T, typename Op, typename Convert>
void finishOperation(const Completion<T>& done, const Op& op, wf::AsyncStatus status,
                     Convert& convert) {
  try {
    if (status == wf::AsyncStatus::Completed) {
      if constexpr (std::is_void_v<T>) {
        op.GetResults();
        done.complete();
      } else {
        done.complete(convert(op.GetResults()));
      }
      return;
    }
    if (status == wf::AsyncStatus::Error) op.GetResults();
    int32_t code = op.ErrorCode();
    if (code >= 0) {
      code = status == wf::AsyncStatus::Canceled ? HRESULT_FROM_WIN32(ERROR_CANCELLED) : E_FAIL;
    }
    done.fail(platformError(code));
  } catch (const winrt::hresult_error& e) {
    done.fail(platformError(e));
  }
}

}  // namespace detail

// Completes at once when the operation has already finished; otherwise the awaiting
// coroutine resumes on the thread that delivers the operation's Completed callback.
// `start` makes the operation; a failure to start it fails the Async at once.
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
  try {
    wf::AsyncStatus status = op.Status();
    if (status != wf::AsyncStatus::Started) {
      detail::finishOperation(done, op, status, convert);
    } else {
      // Fires on the setting thread when the operation finished in between.
      op.Completed(
          [done = done, convert = std::move(convert)](const Op& sender, wf::AsyncStatus s) mutable {
            detail::finishOperation(done, sender, s, convert);
          });
    }
  } catch (const winrt::hresult_error& e) {
    done.fail(platformError(e));
  }
  return std::move(async);
}

// The same for operations whose result the seam takes as it is.
template <typename T, typename Start>
Async<T> fromOperation(Start&& start) {
  return fromOperation<T>(std::forward<Start>(start), [](auto value) { return value; });
}

}  // namespace platform
