#pragma once
// The simulated world as it is now: the adapter, the system's Bluetooth switch and which phones
// are in range. It starts as the world file says; the control channel (control.h) changes it
// while the bridge runs. Both front-ends read it: they follow the adapter with followAdapter,
// and the model's operations mark when they began (since) and ask what was lost meanwhile.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "platform/platform.h"

namespace sim {

// The default adapter and which one it is: every adapter plugged in gets a new instance
// number, as a dongle in another port gets a new device path. A stack restart keeps it.
struct AdapterNow {
  platform::AdapterState state = platform::AdapterState::on;
  uint32_t instance = 1;
};

AdapterNow adapterNow();
// The adapter as the operations on the air see it: a change for the worse reaches them only
// once the followers have heard of it, one for the better before.
platform::AdapterState airState();
// There is an adapter and its radio is on, as the operations see it.
bool onAir();
// The phone at this address is switched on and within range.
bool inRange(uint64_t address);
// The adapter probe fails (`adapter error CODE`) until another adapter is plugged in.
bool probeFails();

// Follows the adapter: returns it as it is now, then `changed` runs with each new state on
// the model's own thread, one call at a time, in order, never the same state twice in a row.
using Token = uint64_t;
std::pair<AdapterNow, Token> followAdapter(std::function<void(const AdapterNow&)> changed);
void unfollow(Token token);

// What an operation lost while it was under way.
enum class Loss { none, offAir, phone };

// A mark taken when an operation on the air begins.
struct Since {
  uint64_t offAir = 0;  // times the radio went off air
  uint64_t phone = 0;   // times the phone went away
  uint64_t address = 0;
};
Since since(uint64_t address = 0);
// Off air now or since the mark (radio off, adapter away), or the phone gone since the mark.
Loss lost(const Since& mark);
// Waits `ms`; returns at once with what was lost when the radio or the phone goes away.
Loss waitOnAir(double ms, const Since& mark);

// Work that must end when a fault strikes (open links, running device watchers): `hook` runs
// on the thread that applies the change, for as long as `owner` lives.
struct Outage {
  bool adapterGone = false;       // the adapter itself went away (removed, stack restarted)
  std::optional<uint64_t> phone;  // only this phone went away; otherwise the radio did
};
void onOutage(std::weak_ptr<const void> owner, std::function<void(const Outage&)> hook);

// The changes. Each returns once followers have heard of it (or a second has passed) and
// the work in flight has been failed.
void switchRadio(bool on);
void removeAdapter();
void addAdapter();
// False when the world has no phone at that address.
bool switchPhone(uint64_t address, bool on);
// The adapter away and back after the world's stack-restart-ms.
void restartStack();

}  // namespace sim
