#pragma once
// The backend's own objects on the bus that BlueZ calls back: the pairing agent and the
// serial-port client profile. Each is exported once and registered with BlueZ on first use, and
// again with a service that restarted.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <sdbus-c++/sdbus-c++.h>

namespace bluez {

// One question the agent was asked during a pairing this process started.
struct AgentRequest {
  int32_t kind = 0;  // DevicePairingKinds: 1 confirm only, 8 confirm PIN match
  std::string pin;   // the six digits for kind 8
};

// The pairing run of one device: asked on a platform thread; returns true to accept.
using PairingRun = std::function<bool(const AgentRequest&)>;

// Registers the agent with BlueZ if that has not happened yet; throws sdbus::Error.
void ensureAgent();
// The agent's questions about `device` go to `run` until the returned token is dropped.
std::shared_ptr<void> routeAgentRequests(const std::string& device, PairingRun run);

// A pairing of `device` asked for and not yet at its Pair: connects to the device wait for it
// too, until the token is dropped.
std::shared_ptr<void> announcePairing(const std::string& device);
// Waits, up to `limit`, until no pairing of this process with `device` is asked for or under
// way; whether one was.
bool awaitPairing(const std::string& device, std::chrono::milliseconds limit);

// A ConnectProfile to `device` in flight, until the token is dropped.
std::shared_ptr<void> connectingTo(const std::string& device);
// Waits, up to `limit`, until no ConnectProfile of this process to `device` is in flight.
void awaitConnectsTo(const std::string& device, std::chrono::milliseconds limit);

// Registers the serial-port client profile with BlueZ if that has not happened yet.
void ensureProfile();
// The socket NewConnection handed over for `device`, taken out (-1 when none came).
int takeHandedOverSocket(const std::string& device);
// Called when BlueZ asks to end the profile's connection to `device` (on the dispatch thread).
void onDisconnectionRequested(std::function<void(const std::string& device)> handler);

// Registers again, with a service that restarted, the agent and the profile registered with an
// earlier one; failures are left for the next pair or connect.
void registerAgain();

// The object paths this process exports.
inline constexpr const char* agentPath = "/org/quintel/bt/agent";
inline constexpr const char* profilePath = "/org/quintel/bt/serial";

}  // namespace bluez

namespace bluez {
// Exports the agent and the profile on a new connection, before its dispatch thread starts.
void exportCallbackObjects(sdbus::IConnection& connection);
}  // namespace bluez
