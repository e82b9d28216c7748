#include "connection/connection_state.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "host/events.h"

namespace {

struct ConnectionState {
  std::mutex lock;  // taken before any Connection::emitLock, never while writing an event
  ConnectionRef active;
  // Disconnected connections whose closed event has not been emitted yet.
  std::vector<ConnectionRef> closing;
};

constexpr std::string_view closedEvent = R"({"t":"closed","reason":"соединение закрыто"})";

// Queues the closed event of `connection` once; the caller holds its emitLock.
bool claimClosed(Connection& connection) {
  if (connection.superseded || connection.closedSent) return false;
  connection.closedSent = true;
  queueEvent(closedEvent);
  return true;
}

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
  // A disconnect closes the socket at once, but its loop may hear of that only after the next
  // connect completes: the host would then read the old closed event as the new phone's.
  for (const ConnectionRef& closing : std::exchange(state().closing, {})) {
    std::lock_guard fence(closing->emitLock);
    claimClosed(*closing);
  }
  ConnectionRef previous = std::exchange(state().active, std::move(next));
  if (previous) {
    std::lock_guard fence(previous->emitLock);
    previous->superseded = true;
  }
  return previous;
}

ConnectionRef takeConnection() {
  std::lock_guard guard(state().lock);
  ConnectionRef taken = std::exchange(state().active, nullptr);
  if (taken) state().closing.push_back(taken);
  return taken;
}

void endConnection(const ConnectionRef& connection) {
  {
    std::lock_guard guard(state().lock);
    if (state().active == connection) state().active = nullptr;
    std::erase(state().closing, connection);
    std::lock_guard fence(connection->emitLock);
    if (!claimClosed(*connection)) return;
  }
  writeEvents();
}

bool emitFor(Connection& connection, std::string_view text) {
  {
    std::lock_guard fence(connection.emitLock);
    if (connection.superseded || connection.closedSent) return false;
    queueEvent(text);
  }
  writeEvents();
  return true;
}
