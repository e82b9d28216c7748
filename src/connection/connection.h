#pragma once
#include <string>

#include "connection/connection_state.h"
#include "platform/task.h"

// One command as the dispatcher hands it over: its id (JSON text, or empty) and its address
// as the host wrote it.
struct ConnectRequest {
  std::string id = {};
  std::string addr = {};
  ConnectPolicy policy = ConnectPolicy::replace;
};

// The "connect" command: resolves, finds the serial-port service, connects, publishes the
// connection and starts its receive loop. Exactly one final event: connected, or the failure.
platform::fire_and_forget doConnect(ConnectRequest request);

// The "send" command on `connection`: decodes the base64 text and writes the bytes, keeping
// the connection's bytes accepted but not yet stored within `window`.
platform::fire_and_forget doSend(ConnectionRef connection, std::string id, std::string b64,
                                 size_t window);

// The "disconnect" command: closes `connection`; its closed event will answer `id`. False
// when it was closed already.
bool doDisconnect(const ConnectionRef& connection, std::string_view id);
// Closes every connection: protocol 1's disconnect and the end of input.
void doDisconnect();
