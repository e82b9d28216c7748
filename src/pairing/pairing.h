#pragma once
#include <string>

#include "platform/platform.h"
#include "platform/task.h"

// Address text to platform device id; empty when the device cannot be seen. Completes inside
// the call when the id is already known.
platform::Task<platform::String> resolveDevice(std::string addr);

// The "pair" command: resolves, pairs, and emits exactly one pair-result.
platform::fire_and_forget doPair(std::string addr);
