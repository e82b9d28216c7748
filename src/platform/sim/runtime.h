#pragma once
// The simulated radio's own threads and the object types every part of it shares.
#include <cstdint>
#include <functional>

#include "platform/platform.h"
#include "platform/sim/world.h"

namespace sim {

// Runs `work` on a platform thread after `delayMs` milliseconds: an idle one of a pool, or a
// new one when none is idle, so that work never waits for other work. The threads are
// detached: like the OS's threads, they may still run while the process ends. The world's
// `completions` may instead run it inside this call, at once, or on one shared platform thread.
void post(uint32_t delayMs, std::function<void()> work);

// Sleeps for a number of milliseconds, fractional allowed.
void sleepMs(double ms);

// Throws the world's platform error for `fault` when it is set.
inline void raise(const Fault& fault) {
  if (fault) throw world().error(*fault);
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
  });
  return std::move(op);
}

}  // namespace sim
