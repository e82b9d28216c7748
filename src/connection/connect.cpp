// Connect, receive loop, send and disconnect. (Filled in with connection.)
#include "connection/connection.h"

platform::fire_and_forget doConnect(std::string) { co_return; }
platform::fire_and_forget doSend(std::string) { co_return; }
void doDisconnect() {}
