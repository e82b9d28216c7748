#include "connection/connection_state.h"

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

#include "host/adapter.h"
#include "host/events.h"
#include "host/log.h"

namespace {

struct ConnectionTable {
  std::mutex lock;  // taken before any Connection::emitLock, never while writing an event
  std::vector<ConnectionRef> open;  // in the order they were published
  // Disconnected connections whose closed event has not been emitted yet.
  std::vector<ConnectionRef> closing;
  std::vector<OperationRef> connecting;
};

// Never destroyed: receive loops and stores may still finish while the process ends.
ConnectionTable& table() {
  static auto* instance = new ConnectionTable;
  return *instance;
}

constexpr std::string_view closedReason = "соединение закрыто";

// Answers every send the connection still holds; the caller holds its emitLock. Nothing is
// written for it any more.
void dropSendsLocked(Connection& connection) {
  std::vector<PendingSend> sends;
  {
    std::lock_guard guard(connection.outbox.lock);
    Outbox& outbox = connection.outbox;
    outbox.closed = true;
    sends = std::exchange(outbox.carried, {});
    for (PendingSend& send : outbox.queued) sends.push_back(std::move(send));
    outbox.queued.clear();
    std::vector<uint8_t>().swap(outbox.waiting);
  }
  for (const PendingSend& send : sends)
    queueReport({.kind = Kind::error,
                 .id = send.id,
                 .addr = connection.addr,
                 .code = Code::writeFailed,
                 .text = "запись не удалась: соединение закрыто"});
}

// Queues the closed event of `connection` once; the caller holds its emitLock. The code it
// gave, or none when it had been given.
Code claimClosedLocked(Connection& connection, Code why) {
  if (connection.superseded || connection.closedSent) return Code::none;
  connection.closedSent = true;
  dropSendsLocked(connection);
  bool host = connection.hostClosed;
  // A link the platform drops before it tells that the adapter went was lost to the adapter.
  if (connection.adapterLost || (why == Code::linkLost && !adapterOn())) why = Code::adapterOff;
  if (host) why = Code::hostClosed;
  queueReport({.kind = Kind::closed,
               .id = host ? std::string_view(connection.hostCloseId) : std::string_view(),
               .addr = connection.addr,
               .code = why,
               .text = closedReason});
  return why;
}

void logAdapterClose(const Connection& connection) {
  logLine("[connect] соединение с " + connection.addr + " закрыто: адаптер недоступен");
}

void supersedeLocked(Connection& connection) {
  std::lock_guard fence(connection.emitLock);
  connection.superseded = true;
  connection.open = false;
  dropSendsLocked(connection);
}

// Tells the host of every disconnected connection whose loop has not yet done so.
void flushClosingLocked(ConnectionTable& t) {
  for (const ConnectionRef& closing : std::exchange(t.closing, {})) {
    std::lock_guard fence(closing->emitLock);
    claimClosedLocked(*closing, Code::hostClosed);
  }
}

void closeQuietly(const platform::Ref<platform::StreamSocket>& socket) {
  try {
    platform::closeSocket(socket);
  } catch (const platform::hresult_error&) {
  }
}

}  // namespace

bool startConnect(const OperationRef& connect, ConnectPolicy policy) {
  ConnectionTable& t = table();
  std::lock_guard guard(t.lock);
  if (policy == ConnectPolicy::add) {
    auto same = [&](const std::string& addr) { return addr == connect->addr; };
    for (const ConnectionRef& c : t.open)
      if (same(c->addr)) return false;
    // A connect the adapter answered already holds its address no more.
    for (const OperationRef& other : t.connecting)
      if (same(other->addr) && !other->claimed()) return false;
  }
  t.connecting.push_back(connect);
  return true;
}

void endConnect(const OperationRef& connect) {
  ConnectionTable& t = table();
  std::lock_guard guard(t.lock);
  std::erase(t.connecting, connect);
}

void abandonConnects() {
  std::vector<OperationRef> connecting;
  {
    std::lock_guard guard(table().lock);
    connecting = table().connecting;
  }
  for (const OperationRef& connect : connecting) {
    if (!connect->claim()) continue;
    logLine("[connect] соединение с " + connect->spelled + " не состоялось: адаптер недоступен");
    report({.kind = Kind::connectFailed,
            .id = connect->id,
            .addr = connect->addr,
            .code = Code::adapterOff,
            .text = adapterOffText,
            .reason = adapterOffReason});
  }
}

bool publishConnection(const ConnectionRef& next, const OperationRef& connect, ConnectPolicy policy,
                       std::vector<ConnectionRef>& replaced) {
  {
    ConnectionTable& t = table();
    std::lock_guard guard(t.lock);
    if (connect && !connect->claim()) return false;
    // A disconnect closes the socket at once, but its loop may hear of that only after the
    // next connect completes: the host would then read the old closed event as the new one's.
    flushClosingLocked(t);
    if (policy == ConnectPolicy::replace) {
      for (const ConnectionRef& previous : t.open) supersedeLocked(*previous);
      replaced = std::exchange(t.open, {});
    }
    next->open = true;
    t.open.push_back(next);
    // Queued here, so that nothing of the connection (its closed event for one) comes first.
    if (connect)
      queueReport({.kind = Kind::connected,
                   .id = connect->id,
                   .addr = connect->addr,
                   .spelled = connect->spelled});
  }
  writeEvents();
  return true;
}

ConnectionRef publishConnection(ConnectionRef next) {
  std::vector<ConnectionRef> replaced;
  publishConnection(next, nullptr, ConnectPolicy::replace, replaced);
  return replaced.empty() ? nullptr : replaced.back();
}

Target findConnection(std::string_view addr) {
  ConnectionTable& t = table();
  std::lock_guard guard(t.lock);
  Target target{.open = t.open.size()};
  if (addr.empty()) {
    if (t.open.size() == 1) target.connection = t.open.front();
    return target;
  }
  for (const ConnectionRef& c : t.open)
    if (c->addr == addr) target.connection = c;
  return target;
}

ConnectionRef currentConnection() {
  ConnectionTable& t = table();
  std::lock_guard guard(t.lock);
  return t.open.empty() ? nullptr : t.open.back();
}

bool takeConnection(const ConnectionRef& connection, std::string_view id) {
  ConnectionTable& t = table();
  std::lock_guard guard(t.lock);
  auto found = std::find(t.open.begin(), t.open.end(), connection);
  if (found == t.open.end()) return false;
  t.open.erase(found);
  {
    std::lock_guard fence(connection->emitLock);
    connection->open = false;
    connection->hostClosed = true;
    connection->hostCloseId = id;
  }
  t.closing.push_back(connection);
  return true;
}

ConnectionRef takeConnection() {
  std::vector<ConnectionRef> all;
  {
    std::lock_guard guard(table().lock);
    all = table().open;
  }
  for (const ConnectionRef& c : all) takeConnection(c, {});
  return all.empty() ? nullptr : all.back();
}

void endConnection(const ConnectionRef& connection, Code why) {
  Code given;
  {
    ConnectionTable& t = table();
    std::lock_guard guard(t.lock);
    std::erase(t.open, connection);
    std::erase(t.closing, connection);
    std::lock_guard fence(connection->emitLock);
    connection->open = false;
    given = claimClosedLocked(*connection, why);
    if (given == Code::none) return;
  }
  writeEvents();
  if (given == Code::adapterOff) logAdapterClose(*connection);
}

namespace {

// The safety net behind the platform: true once `connection` has ended, closing it here when
// its loop is still waiting for a load that the platform has not failed; false while the loop
// is delivering what arrived.
bool closeIfStalled(const ConnectionRef& connection) {
  {
    ConnectionTable& t = table();
    std::lock_guard guard(t.lock);
    std::lock_guard fence(connection->emitLock);
    if (connection->superseded || connection->closedSent) return true;
    if (!connection->loading) return false;
    std::erase(t.open, connection);
    std::erase(t.closing, connection);
    connection->open = false;
    claimClosedLocked(*connection, Code::adapterOff);
  }
  writeEvents();
  logAdapterClose(*connection);
  closeQuietly(connection->activeSocket);
  return true;
}

}  // namespace

void closeConnectionsForAdapter() {
  std::vector<ConnectionRef> open;
  {
    ConnectionTable& t = table();
    std::lock_guard guard(t.lock);
    open = t.open;
    for (const ConnectionRef& c : open) {
      std::lock_guard fence(c->emitLock);
      c->adapterLost = true;
    }
  }
  if (open.empty()) return;
  // Closing here at once would drop the bytes the platform received before the fault and
  // has still to hand to the loop; the platform's own end of the link comes after them.
  std::thread([open = std::move(open)]() mutable {
    while (!open.empty()) {
      std::this_thread::sleep_for(adapterCloseBound);
      std::erase_if(open, closeIfStalled);
    }
  }).detach();
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

bool emitFor(Connection& connection, const Report& report) {
  {
    std::lock_guard fence(connection.emitLock);
    if (connection.superseded || connection.closedSent) return false;
    queueReport(report);
  }
  writeEvents();
  return true;
}

void answerStoredSends(Connection& connection, const platform::hresult_error* failure) {
  {
    std::lock_guard fence(connection.emitLock);
    std::vector<PendingSend> sends;
    {
      std::lock_guard guard(connection.outbox.lock);
      sends = std::exchange(connection.outbox.carried, {});
      for (const PendingSend& send : sends) connection.outbox.unstored -= send.bytes;
    }
    if (connection.superseded || connection.closedSent) return;
    for (const PendingSend& send : sends) {
      if (failure)
        queueReport({.kind = Kind::writeFailed,
                     .id = send.id,
                     .addr = connection.addr,
                     .code = Code::writeFailed,
                     .text = writeFailedText,
                     .hresult = failure->code});
      else
        queueReport(
            {.kind = Kind::sent, .id = send.id, .addr = connection.addr, .bytes = send.bytes});
    }
  }
  writeEvents();
}
