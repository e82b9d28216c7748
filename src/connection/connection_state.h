#pragma once
// The open connections, keyed by canonical address, shared by connect, the receive loops, send and
// disconnect. Protocol 1 is the case of at most one: each connect replaces the one open.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/inflight.h"
#include "host/report.h"
#include "platform/platform.h"

// One send command whose bytes are accepted but not yet stored.
struct PendingSend {
  std::string id;
  uint32_t bytes = 0;
};

// The bytes of "send" commands on one connection. One send at a time writes and stores: the
// platform documents no write into a writer while a store on it is pending. Sends that come
// meanwhile leave their bytes here, in command order, for the one that holds the writer.
struct Outbox {
  std::mutex lock;  // guards everything below; taken after the connection's emitLock
  bool busy = false;
  bool closed = false;           // the connection's closed event has gone: nothing more is accepted
  std::vector<uint8_t> waiting;  // the bytes of `queued`
  std::vector<PendingSend> queued;   // sends for the next store
  std::vector<PendingSend> carried;  // sends in the store under way
  size_t unstored = 0;               // bytes of `queued` and `carried`: the window in use
};

// `activeSocket` and `activeWriter` of one connection. They are published, replaced and
// cleared only together, so no thread ever sees one without the other.
struct Connection {
  std::string addr;  // its key in the table and the address its events carry: canonical
  platform::Ref<platform::StreamSocket> activeSocket;
  platform::Ref<platform::DataWriter> activeWriter;
  Outbox outbox;
  // In the table: its loop reads on, sends find it. Cleared when it is taken out.
  std::atomic<bool> open{false};
  // Set (under the table lock and emitLock) when a newer connection replaced this one: from
  // then on it ends quietly, with no data, error or closed event.
  bool superseded = false;
  // Set (under emitLock) once the host has been told this connection closed; nothing of it
  // follows that event.
  bool closedSent = false;
  // Set by the receive loop while it waits for the platform to load bytes.
  std::atomic<bool> loading{false};
  // Set (under emitLock) when the adapter went while this connection was open: however the
  // platform then ends it, the adapter ended it.
  bool adapterLost = false;
  // Set (under emitLock) by a disconnect before it closes the socket: the closed event then
  // answers that command.
  bool hostClosed = false;
  std::string hostCloseId;
  // Held while one of this connection's events is queued (never while it is written), so that
  // none of them follows its closed event or the newer connection's connected event.
  std::mutex emitLock;
};
using ConnectionRef = std::shared_ptr<Connection>;

// What a connect does to the connections already open: protocol 1 replaces the one open;
// protocol 2 adds beside them and refuses an address already connected or connecting.
enum class ConnectPolicy { replace, add };

// Registers a connect under way; false (nothing registered) when the policy refuses the address.
bool startConnect(const OperationRef& connect, ConnectPolicy policy);
void endConnect(const OperationRef& connect);
// The adapter went away: every connect under way is answered at once.
void abandonConnects();

// Publishes `next` as the answer to `connect` and queues its connected event, unless the
// connect was answered already (then false and nothing changes). With `replace`, the
// connections it replaced (now superseded) are left in `replaced` for the caller to close. A
// disconnected connection whose receive loop has not yet told the host it closed is told now,
// so that its closed event comes before the connected event.
bool publishConnection(const ConnectionRef& next, const OperationRef& connect, ConnectPolicy policy,
                       std::vector<ConnectionRef>& replaced);
// The same without a command: replaces, returns the replaced connection, queues nothing.
ConnectionRef publishConnection(ConnectionRef next);

// The connection a send or disconnect names: by address, or the one open when `addr` is
// empty; `open` counts the connections open.
struct Target {
  ConnectionRef connection = {};
  size_t open = 0;
};
Target findConnection(std::string_view addr);
// The connection published last, or null.
ConnectionRef currentConnection();

// A disconnect: takes `connection` out of the table (false when it was no longer there); its
// closed event will answer `id`. The caller closes its socket.
bool takeConnection(const ConnectionRef& connection, std::string_view id);
// Takes every connection out; the last one published, or null.
ConnectionRef takeConnection();

// The end of `connection`'s receive loop, for `why`: takes it out of the table and tells the
// host it closed unless it was replaced or the host was told already.
void endConnection(const ConnectionRef& connection, Code why = Code::phoneClosed);
// The adapter went away: the platform ends every open connection itself, after the bytes it
// had received, and its loop tells the host (ADAPTER_OFF). One whose loop still waits for a
// load after `adapterCloseBound` is closed here.
void closeConnectionsForAdapter();
inline constexpr std::chrono::milliseconds adapterCloseBound{2000};

// Emits one event of `connection`, unless a newer connection replaced it or its closed event
// has gone (then false).
bool emitFor(Connection& connection, std::string_view text);
bool emitFor(Connection& connection, const Report& report);

// Queues the answers of the sends whose store just ended (under the connection's emitLock);
// none once the connection is closed or replaced, whose sends were answered then.
void answerStoredSends(Connection& connection, const platform::hresult_error* failure);

inline constexpr const char* writeFailedText = "запись не удалась";
