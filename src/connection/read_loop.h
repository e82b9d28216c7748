#pragma once
#include "connection/connection_state.h"
#include "platform/task.h"

// Carries the bytes `connection` receives to the host as data events and reports its end
// with one closed event, unless a newer connection replaced it first.
platform::fire_and_forget readLoop(ConnectionRef connection);
