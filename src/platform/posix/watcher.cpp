#include "platform/posix/watcher.h"

namespace posix {

void Watcher::addAdded(AddedHandler handler) {
  std::lock_guard guard(lock);
  added.push_back(std::move(handler));
}

void Watcher::addEnumerationCompleted(PlainHandler handler) {
  std::lock_guard guard(lock);
  enumerated.push_back(std::move(handler));
}

void Watcher::addStopped(PlainHandler handler) {
  std::lock_guard guard(lock);
  stoppedHandlers.push_back(std::move(handler));
}

int32_t Watcher::currentStatus() {
  std::lock_guard guard(lock);
  return status;
}

uint64_t Watcher::start(const platform::hresult_error& refusal) {
  std::lock_guard guard(lock);
  if (status != created && status != stopped && status != aborted) throw refusal;
  status = started;
  return ++run;
}

bool Watcher::report(uint64_t which, const platform::Ref<platform::DeviceInformation>& info,
                     const std::function<bool()>& fresh) {
  std::vector<AddedHandler> handlers;
  {
    std::lock_guard guard(lock);
    if (!live(which)) return false;
    if (fresh && !fresh()) return true;
    handlers = added;
  }
  raiseEvent(handlers, info);
  return true;
}

void Watcher::completeEnumeration(uint64_t which) {
  settle(which, enumerationCompleted, enumerated);
}

void Watcher::beginStop(const platform::hresult_error& refusal) {
  std::lock_guard guard(lock);
  if (!live(run)) throw refusal;
  status = stopping;
}

void Watcher::finishStop() {
  std::vector<PlainHandler> handlers;
  {
    std::lock_guard guard(lock);
    status = stopped;
    handlers = stoppedHandlers;
  }
  raiseEvent(handlers);
}

void Watcher::abort(uint64_t which) {
  settle(which, aborted, stoppedHandlers);
}

void Watcher::settle(uint64_t which, int32_t next, const std::vector<PlainHandler>& event) {
  std::vector<PlainHandler> handlers;
  {
    std::lock_guard guard(lock);
    if (!live(which)) return;
    status = next;
    handlers = event;
  }
  raiseEvent(handlers);
}

}  // namespace posix
