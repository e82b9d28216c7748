// The "send" and "disconnect" commands.
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "connection/base64.h"
#include "connection/connection.h"
#include "connection/connection_state.h"
#include "host/events.h"
#include "platform/platform.h"

platform::fire_and_forget doSend(std::string b64) {
  ConnectionRef connection = currentConnection();
  if (!connection) co_return;
  std::vector<uint8_t> bytes = base64Decode(b64);
  // A send may stay queued long behind others: it keeps nothing of its text meanwhile.
  std::string().swap(b64);
  if (bytes.empty()) co_return;
  Outbox& outbox = connection->outbox;
  {
    std::lock_guard guard(outbox.lock);
    if (outbox.busy) {
      // The send that holds the writer takes these bytes along after its store, so they
      // still reach the phone in command order.
      outbox.waiting.insert(outbox.waiting.end(), bytes.begin(), bytes.end());
      ++outbox.waitingSends;
      co_return;
    }
    outbox.busy = true;
  }
  // Runs on the command thread up to a store that does not complete at once; after that on
  // the thread that completes it.
  uint32_t sends = 1;
  for (;;) {
    bool failed = false;
    try {
      platform::writeBytes(connection->activeWriter, bytes);
      co_await platform::storeAsync(connection->activeWriter);
    } catch (const platform::hresult_error&) {
      failed = true;
    }
    // One error per send whose bytes were lost; none from a connection already replaced.
    for (uint32_t i = 0; failed && i < sends; ++i)
      if (!emitFor(*connection, R"({"t":"error","error":"запись не удалась"})")) break;
    std::lock_guard guard(outbox.lock);
    if (outbox.waiting.empty()) {
      outbox.busy = false;
      if (outbox.waiting.capacity() > (1u << 20)) std::vector<uint8_t>().swap(outbox.waiting);
      break;
    }
    bytes.swap(outbox.waiting);
    outbox.waiting.clear();
    sends = std::exchange(outbox.waitingSends, 0);
  }
}

void doDisconnect() {
  if (ConnectionRef connection = takeConnection()) {
    try {
      platform::closeSocket(connection->activeSocket);
    } catch (const platform::hresult_error&) {
    }
  }
}
