#include "connection/connection_state.h"

#include <utility>

#include "host/events.h"

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

}  // namespace

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

bool emitFor(Connection& connection, std::string_view text) {
  {
    std::lock_guard fence(connection.emitLock);
    if (connection.superseded) return false;
    queueEvent(text);
  }
  writeEvents();
  return true;
}
