// The "send" and "disconnect" commands.
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "connection/base64.h"
#include "connection/connection.h"
#include "connection/connection_state.h"
#include "host/events.h"
#include "platform/platform.h"

namespace {

// Why a send cannot be taken now, or Code::none when its bytes are in the outbox; a send
// whose bytes start a store is marked as carried by it.
Code accept(Connection& connection, std::string& id, std::vector<uint8_t>& bytes, size_t window,
            bool& startsStore) {
  Outbox& outbox = connection.outbox;
  std::lock_guard guard(outbox.lock);
  if (outbox.closed) return Code::notConnected;
  if (bytes.size() > window) return Code::tooLarge;
  if (bytes.size() > window - outbox.unstored) return Code::busy;
  outbox.unstored += bytes.size();
  PendingSend send{std::move(id), static_cast<uint32_t>(bytes.size())};
  if (outbox.busy) {
    // The send that holds the writer takes these bytes along after its own store, so they
    // still reach the phone in command order.
    outbox.waiting.insert(outbox.waiting.end(), bytes.begin(), bytes.end());
    outbox.queued.push_back(std::move(send));
    startsStore = false;
  } else {
    outbox.busy = true;
    outbox.carried.push_back(std::move(send));
    startsStore = true;
  }
  return Code::none;
}

std::string refusalText(Code code, size_t window) {
  switch (code) {
    case Code::tooLarge:
      return "отправка больше окна (" + std::to_string(window) + " байт) — раздели её на части";
    case Code::busy:
      return "окно отправки заполнено — дождись sent по прежним отправкам";
    default:
      return "соединение закрыто — отправлять некуда";
  }
}

}  // namespace

platform::fire_and_forget doSend(ConnectionRef connection, std::string id, std::string b64,
                                 size_t window) {
  std::vector<uint8_t> bytes = base64Decode(b64);
  // A send may stay queued long behind others: it keeps nothing of its text meanwhile.
  std::string().swap(b64);
  if (bytes.empty()) {
    // Nothing to store: done at once.
    report({.kind = Kind::sent, .id = id, .addr = connection->addr});
    co_return;
  }
  bool startsStore = false;
  if (Code refused = accept(*connection, id, bytes, window, startsStore); refused != Code::none) {
    report({.kind = Kind::error,
            .id = id,
            .addr = connection->addr,
            .code = refused,
            .text = refusalText(refused, window)});
    co_return;
  }
  if (!startsStore) co_return;
  // Runs on the command thread up to a store that does not complete at once; after that on
  // the thread that completes it.
  Outbox& outbox = connection->outbox;
  for (;;) {
    std::optional<platform::hresult_error> failure;
    try {
      platform::writeBytes(connection->activeWriter, bytes);
      co_await platform::storeAsync(connection->activeWriter);
    } catch (const platform::hresult_error& e) {
      failure = e;
    }
    // One answer per send the store carried: sent, or the error of its lost bytes.
    answerStoredSends(*connection, failure ? &*failure : nullptr);
    std::lock_guard guard(outbox.lock);
    if (outbox.waiting.empty() || outbox.closed) {
      outbox.busy = false;
      if (outbox.waiting.capacity() > (1u << 20)) std::vector<uint8_t>().swap(outbox.waiting);
      break;
    }
    bytes.swap(outbox.waiting);
    outbox.waiting.clear();
    outbox.carried = std::exchange(outbox.queued, {});
  }
}

bool doDisconnect(const ConnectionRef& connection, std::string_view id) {
  if (!takeConnection(connection, id)) return false;
  try {
    platform::closeSocket(connection->activeSocket);
  } catch (const platform::hresult_error&) {
  }
  return true;
}

void doDisconnect() {
  while (ConnectionRef connection = currentConnection()) doDisconnect(connection, {});
}
