#pragma once
// The open connection, shared by connect, the receive loop, send and disconnect.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/platform.h"

// The bytes of "send" commands on one connection. One send at a time writes and stores: the
// platform documents no write into a writer while a store on it is pending. Sends that come
// meanwhile leave their bytes here, in command order, for the one that holds the writer.
struct Outbox {
  std::mutex lock;  // guards everything below
  bool busy = false;
  std::vector<uint8_t> waiting;
  uint32_t waitingSends = 0;
};

// `activeSocket` and `activeWriter` of one connection. They are published, replaced and
// cleared only together, so no thread ever sees one without the other.
struct Connection {
  platform::Ref<platform::StreamSocket> activeSocket;
  platform::Ref<platform::DataWriter> activeWriter;
  Outbox outbox;
  // Set (under the state lock and emitLock) when a newer connection replaced this one: from
  // then on it ends quietly, with no data, error or closed event.
  bool superseded = false;
  // Set (under emitLock) once the host has been told this connection closed; nothing of it
  // follows that event.
  bool closedSent = false;
  // Held while one of this connection's events is queued (never while it is written), so that
  // none of them follows the newer connection's connected event.
  std::mutex emitLock;
};
using ConnectionRef = std::shared_ptr<Connection>;

// The published connection, or null.
ConnectionRef currentConnection();
bool isCurrentConnection(const ConnectionRef& connection);
// Publishes `next` and returns the connection it replaced (now superseded), which the caller
// closes. A disconnected connection whose receive loop has not yet told the host it closed is
// told now, so that its closed event comes before the new connection's connected event.
ConnectionRef publishConnection(ConnectionRef next);
// Empties the state (a disconnect); returns what it held.
ConnectionRef takeConnection();
// The end of `connection`'s receive loop: empties the state if it still holds `connection`,
// and tells the host it closed unless it was replaced or the host was told already.
void endConnection(const ConnectionRef& connection);
// Emits one event of `connection`, unless a newer connection replaced it or its closed event
// has gone (then false).
bool emitFor(Connection& connection, std::string_view text);
