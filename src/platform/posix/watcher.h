#pragma once
// The device watcher's bookkeeping the Linux backends share: its handlers, its status and which
// of its runs is live. How a run finds devices, and on which thread, stays with each backend.
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/events.h"

namespace posix {

// DeviceWatcherStatus.
enum WatcherStatus : int32_t {
  created = 0,
  started = 1,
  enumerationCompleted = 2,
  stopping = 3,
  stopped = 4,
  aborted = 5
};

// A backend's DeviceWatcher is one of these with whatever its runs need besides. Work of a run
// that was stopped or restarted meanwhile falls silent: every event checks its run is live.
struct Watcher {
  using AddedHandler = std::function<void(const platform::Ref<platform::DeviceInformation>&)>;
  using PlainHandler = std::function<void()>;

  bool wantsPaired = false;
  bool wantsUnpaired = false;
  std::mutex lock;  // guards everything below; never held while a handler runs
  int32_t status = created;
  uint64_t run = 0;  // counts Starts
  std::vector<AddedHandler> added;
  std::vector<PlainHandler> enumerated;
  std::vector<PlainHandler> stoppedHandlers;

  // Whether the selector asks for devices of this pairing state.
  bool wants(bool paired) const { return paired ? wantsPaired : wantsUnpaired; }
  // True while the run `which` is still the live one; with the lock held.
  bool live(uint64_t which) const {
    return run == which && (status == started || status == enumerationCompleted);
  }

  void addAdded(AddedHandler handler);
  void addEnumerationCompleted(PlainHandler handler);
  void addStopped(PlainHandler handler);
  int32_t currentStatus();

  // Start: Started, and the new run's number. Out of turn (neither created nor ended) it
  // throws `refusal`.
  uint64_t start(const platform::hresult_error& refusal);
  // Raises Added for `info` while `which` is live and `fresh`, when given, says so (it runs
  // under the lock). False once the run is over.
  bool report(uint64_t which, const platform::Ref<platform::DeviceInformation>& info,
              const std::function<bool()>& fresh = nullptr);
  // EnumerationCompleted, the status and the event, while `which` is live.
  void completeEnumeration(uint64_t which);
  // Stop: Stopping at once; throws `refusal` unless started or enumeration completed.
  void beginStop(const platform::hresult_error& refusal);
  // The rest of a Stop, on a platform thread: Stopped, then the Stopped event.
  void finishStop();
  // A run that cannot go on: Aborted and the Stopped event, while `which` is live.
  void abort(uint64_t which);

 private:
  // Moves the live run `which` to `next` and raises `event`; nothing once that run is over.
  void settle(uint64_t which, int32_t next, const std::vector<PlainHandler>& event);
};

}  // namespace posix
