#include "connection/connection_state.h"

#include <utility>
#include <vector>

namespace {

struct ConnectionState {
  std::mutex lock;  // taken before any Connection::emitLock, never while writing an event
  ConnectionRef active;
};

// Never destroyed: receive loops and stores may still finish while the process ends.
ConnectionState& state() {
  static auto* instance = new ConnectionState;
  return *instance;
}

// Resumes queued sends one after another instead of inside each other: a run of stores that
// fail at once (a dropped link) would otherwise nest one frame per waiting send.
thread_local bool resuming = false;
thread_local std::vector<std::coroutine_handle<>> toResume;

void resumeFlat(std::coroutine_handle<> waiter) {
  toResume.push_back(waiter);
  if (resuming) return;
  resuming = true;
  while (!toResume.empty()) {
    auto next = toResume.back();
    toResume.pop_back();
    next.resume();
  }
  resuming = false;
}

}  // namespace

bool StoreTurns::enqueue(std::coroutine_handle<> waiter) {
  std::lock_guard guard(lock_);
  if (!busy_) {
    busy_ = true;
    return false;
  }
  waiting_.push_back(waiter);
  return true;
}

void StoreTurns::giveUp() {
  std::coroutine_handle<> next;
  {
    std::lock_guard guard(lock_);
    if (waiting_.empty()) {
      busy_ = false;
      return;
    }
    next = waiting_.front();
    waiting_.pop_front();
  }
  resumeFlat(next);
}

ConnectionRef currentConnection() {
  std::lock_guard guard(state().lock);
  return state().active;
}

bool isCurrentConnection(const ConnectionRef& connection) {
  std::lock_guard guard(state().lock);
  return state().active == connection;
}

ConnectionRef publishConnection(ConnectionRef next) {
  std::lock_guard guard(state().lock);
  ConnectionRef previous = std::exchange(state().active, std::move(next));
  if (previous) {
    std::lock_guard fence(previous->emitLock);
    previous->superseded = true;
  }
  return previous;
}

ConnectionRef takeConnection() {
  std::lock_guard guard(state().lock);
  return std::exchange(state().active, nullptr);
}

bool endConnection(const ConnectionRef& connection) {
  std::lock_guard guard(state().lock);
  if (state().active == connection) state().active = nullptr;
  return !connection->superseded;
}
