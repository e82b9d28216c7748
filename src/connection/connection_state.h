#pragma once
// The open connection, shared by connect, the receive loop, send and disconnect.
#include <coroutine>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/platform.h"

// Hands out the right to store on one writer, one send at a time, in the order asked.
// The platform refuses a store while an earlier one on the same writer is pending.
class StoreTurns {
 public:
  // Awaiting it resumes at once when the writer is free, otherwise on the thread of the send
  // that gives the turn up.
  auto take() {
    struct Awaiter {
      StoreTurns& turns;
      bool await_ready() const noexcept { return false; }
      bool await_suspend(std::coroutine_handle<> waiter) { return turns.enqueue(waiter); }
      void await_resume() const noexcept {}
    };
    return Awaiter{*this};
  }
  // Passes the turn to the next waiting send, or frees the writer.
  void giveUp();

 private:
  bool enqueue(std::coroutine_handle<> waiter);

  std::mutex lock_;  // guards busy_ and waiting_
  bool busy_ = false;
  std::deque<std::coroutine_handle<>> waiting_;
};

// `activeSocket` and `activeWriter` of one connection. They are published, replaced and
// cleared only together, so no thread ever sees one without the other.
struct Connection {
  platform::Ref<platform::StreamSocket> activeSocket;
  platform::Ref<platform::DataWriter> activeWriter;
  StoreTurns stores;
  // Set (under the state lock and emitLock) when a newer connection replaced this one: its
  // receive loop then ends quietly and emits no more data.
  bool superseded = false;
  // Held by the receive loop around each data event, so that no data of a replaced
  // connection follows the newer connection's connected event.
  std::mutex emitLock;
};
using ConnectionRef = std::shared_ptr<Connection>;

// The published connection, or null.
ConnectionRef currentConnection();
bool isCurrentConnection(const ConnectionRef& connection);
// Publishes `next` and returns the connection it replaced (now superseded), which the caller
// closes.
ConnectionRef publishConnection(ConnectionRef next);
// Empties the state; returns what it held.
ConnectionRef takeConnection();
// The end of `connection`'s receive loop: empties the state if it still holds `connection`.
// True when the host is to be told the connection closed (it was not replaced).
bool endConnection(const ConnectionRef& connection);
