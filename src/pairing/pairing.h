#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/task.h"

// Address text to platform device id; empty when the device cannot be seen. Completes inside
// the call when the id is already known.
platform::Task<platform::String> resolveDevice(std::string addr);

// The platform address an address text names: every hex digit counts, in order, and every
// other byte is skipped; only the last 16 digits survive.
uint64_t parseBluetoothAddress(std::string_view text);

// One pair command: its id (JSON text, or empty) and its address as the host wrote it.
struct PairRequest {
  std::string id = {};
  std::string addr = {};
};

// The "pair" command: resolves, pairs, and emits exactly one pair-result.
platform::fire_and_forget doPair(PairRequest request);
// The adapter went away: every pairing under way gets its pair-result at once.
void abandonPairs();
