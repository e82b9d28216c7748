#pragma once
#include <string>

#include "platform/task.h"

// The "connect" command: resolves, finds the serial-port service, connects, publishes the
// connection and starts its receive loop.
platform::fire_and_forget doConnect(std::string addr);

// The "send" command: decodes the base64 text and writes the bytes to the open connection.
platform::fire_and_forget doSend(std::string b64);

// The "disconnect" command and the end of input: closes the open connection, if any.
void doDisconnect();
