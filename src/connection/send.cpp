// The "send" and "disconnect" commands.
#include <cstdint>
#include <vector>

#include "connection/base64.h"
#include "connection/connection.h"
#include "connection/connection_state.h"
#include "host/events.h"
#include "platform/platform.h"

platform::fire_and_forget doSend(std::string b64) {
  ConnectionRef connection = currentConnection();
  if (!connection) co_return;
  {
    std::vector<uint8_t> bytes = base64Decode(b64);
    // A send may wait long for its turn below, behind many others: it keeps nothing of its
    // text meanwhile.
    std::string().swap(b64);
    if (bytes.empty()) co_return;
    // Written here, on the command thread, so the bytes enter the writer in command order
    // even when the store below has to wait for an earlier one.
    try {
      platform::writeBytes(connection->activeWriter, bytes);
    } catch (const platform::hresult_error&) {
      emitEvent(R"({"t":"error","error":"запись не удалась"})");
      co_return;
    }
  }
  co_await connection->stores.take();
  bool failed = false;
  try {
    co_await platform::storeAsync(connection->activeWriter);
  } catch (const platform::hresult_error&) {
    failed = true;
  }
  if (failed) emitEvent(R"({"t":"error","error":"запись не удалась"})");
  connection->stores.giveUp();
}

void doDisconnect() {
  if (ConnectionRef connection = takeConnection()) {
    try {
      platform::closeSocket(connection->activeSocket);
    } catch (const platform::hresult_error&) {
    }
  }
}
