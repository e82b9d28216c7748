#pragma once
// The adapter's state, followed from start-up on, and what the bridge does when it changes.
#include "platform/platform.h"

platform::AdapterState adapterState();
bool adapterOn();

// Starts following the adapter (after the start-up probe) and keeps its state.
void followAdapter();

// A new state from the platform: logged, told to a protocol-2 host, and when the adapter
// stops being usable, every connection is closed and every scan, pair and connect under way
// answered at once.
void adapterChanged(platform::AdapterState state);

// The text a host reads when a command needs the adapter and it is off or gone.
inline constexpr const char* adapterOffText =
    "адаптер Bluetooth выключен или не найден — включи Bluetooth и повтори";
// The reason of the closed event that follows a connect refused for it (protocol 1's form).
inline constexpr const char* adapterOffReason = "адаптер Bluetooth недоступен";
