#pragma once
// The simulated radio's own threads and the object types every part of it shares.
#include <cstdint>
#include <functional>

#include "platform/platform.h"
#include "platform/sim/state.h"
#include "platform/sim/world.h"

namespace sim {

// Runs `work` on a platform thread after `delayMs` milliseconds: an idle one of a pool, or a
// new one when none is idle, so that work never waits for other work. The threads are
// detached: like the OS's threads, they may still run while the process ends. The world's
// `completions` may instead run it inside this call, at once, or on one shared platform thread.
void post(uint32_t delayMs, std::function<void()> work);

// Sleeps for a number of milliseconds, fractional allowed.
void sleepMs(double ms);

// Waits up to `ms` for `done` to hold; false when the time ran out. `done` is checked under
// the waiters' lock, so a change made before wakeWaiters is never missed.
bool waitUntil(double ms, const std::function<bool()>& done);
// Wakes every waitUntil to check again; call it after the change, with no lock held.
void wakeWaiters();

// Throws the world's platform error for `fault` when it is set.
inline void raise(const Fault& fault) {
  if (fault) throw world().error(*fault);
}

// Completes `done` with what `make` returns (or throws).
template <typename T, typename Make>
void completeWith(const platform::Completion<T>& done, Make& make) {
  try {
    if constexpr (std::is_void_v<T>) {
      make();
      done.complete();
    } else {
      done.complete(make());
    }
  } catch (const platform::hresult_error& e) {
    done.fail(e);
  }
}

// An operation that completes on a platform thread after `delayMs`, with `result` computed
// there, or with the fault's error.
template <typename T, typename Make>
platform::Async<T> completeLater(uint32_t delayMs, Fault fault, Make make) {
  auto [op, done] = platform::Async<T>::pending();
  post(delayMs, [done = done, fault, make = std::move(make)]() mutable {
    if (fault) {
      done.fail(world().error(*fault));
      return;
    }
    completeWith(done, make);
  });
  return std::move(op);
}

// Runs `work` with what was lost since `mark` (state.h): after `delayMs` on a platform thread,
// or as soon as the radio or the phone goes away. The world's `completions` apply as for post;
// with one-thread or at-once the loss is read when the work falls due.
void postOnAir(uint32_t delayMs, const Since& mark, std::function<void(Loss)> work);

// An operation on the air with the phone at `address` (0: none in particular): as
// completeLater, unless the radio is off air when it starts, or the radio or the phone goes
// away before it ends. Then it ends at once with what `onLoss(loss)` returns (or throws).
template <typename T, typename Make, typename OnLoss>
platform::Async<T> completeOnAir(uint32_t delayMs, uint64_t address, Fault fault, Make make,
                                 OnLoss onLoss) {
  auto [op, done] = platform::Async<T>::pending();
  Since mark = since(address);
  if (lost(mark) != Loss::none) delayMs = 0;
  postOnAir(delayMs, mark,
            [done = done, fault, make = std::move(make), onLoss = std::move(onLoss)](Loss loss) {
              if (loss != Loss::none) {
                auto settle = [&] { return onLoss(loss); };
                completeWith(done, settle);
              } else if (fault) {
                done.fail(world().error(*fault));
              } else {
                completeWith(done, make);
              }
            });
  return std::move(op);
}

}  // namespace sim
