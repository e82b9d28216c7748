#include "platform/bluez/agent.h"

#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>

#include "platform/bluez/bus.h"
#include "platform/bluez/translate.h"
#include "platform/posix/pool.h"

namespace bluez {

namespace {

// DevicePairingKinds of the questions BlueZ's agent interface asks.
constexpr int32_t confirmOnly = 1;
constexpr int32_t displayPin = 2;
constexpr int32_t providePin = 4;
constexpr int32_t confirmPinMatch = 8;

const sdbus::Error rejected("org.bluez.Error.Rejected", "Rejected by the bridge");

struct Callbacks {
  std::mutex lock;  // guards everything below
  std::unique_ptr<sdbus::IObject> agent;
  std::unique_ptr<sdbus::IObject> profile;
  // The service's owner (serviceGeneration) each is registered with: one that restarted
  // knows neither.
  std::optional<uint64_t> agentRegistered;
  std::optional<uint64_t> profileRegistered;
  bool agentWanted = false;  // registered once, so registered again with a new owner
  bool profileWanted = false;
  std::map<std::string, std::weak_ptr<PairingRun>> runs;
  std::map<std::string, int> announced;   // pairings asked for, by device, not yet over
  std::map<std::string, int> connecting;  // ConnectProfile calls in flight, by device
  std::map<std::string, int> sockets;     // handed over, not yet taken
  std::vector<std::function<void(const std::string&)>> disconnectionHandlers;
  std::condition_variable settled;  // a route, an announced pairing or a ConnectProfile ended
};

// Never destroyed: the dispatch thread may still call in while the process ends.
Callbacks& callbacks() {
  static auto* instance = new Callbacks;
  return *instance;
}

std::shared_ptr<PairingRun> runFor(const std::string& device) {
  auto& c = callbacks();
  std::lock_guard guard(c.lock);
  auto it = c.runs.find(device);
  return it == c.runs.end() ? nullptr : it->second.lock();
}

// Hands one question to the pairing run on a platform thread, which answers it. A question
// about a device this process is not pairing is refused at once.
template <typename... Results, typename Answer>
void ask(sdbus::Result<Results...>&& result, const std::string& device, AgentRequest request,
         Answer answer) {
  auto run = runFor(device);
  if (!run) {
    result.returnError(rejected);
    return;
  }
  posix::runOnPlatformThread(
      [run, request = std::move(request), answer = std::move(answer),
       result = std::make_shared<sdbus::Result<Results...>>(std::move(result))] {
        bool accepted = (*run)(request);
        // A reply that cannot be sent (bluetoothd gone) leaves nobody waiting for it.
        try {
          if (accepted)
            answer(*result);
          else
            result->returnError(rejected);
        } catch (const sdbus::Error&) {
        }
      });
}

void exportAgent(sdbus::IConnection& connection, Callbacks& c) {
  const char* agent = "org.bluez.Agent1";
  c.agent = sdbus::createObject(connection, agentPath);
  auto& o = *c.agent;
  o.registerMethod("Release").onInterface(agent).implementedAs([] {
    auto& c = callbacks();
    std::lock_guard guard(c.lock);
    c.agentRegistered.reset();
  });
  o.registerMethod("RequestConfirmation")
      .onInterface(agent)
      .implementedAs(
          [](sdbus::Result<>&& result, const sdbus::ObjectPath& device, uint32_t passkey) {
            ask(std::move(result), device, {confirmPinMatch, passkeyText(passkey)},
                [](const sdbus::Result<>& r) { r.returnResults(); });
          });
  o.registerMethod("RequestAuthorization")
      .onInterface(agent)
      .implementedAs([](sdbus::Result<>&& result, const sdbus::ObjectPath& device) {
        ask(std::move(result), device, {confirmOnly, {}},
            [](const sdbus::Result<>& r) { r.returnResults(); });
      });
  // Legacy PIN and passkey entry: the bridge has nothing to type in, so the run refuses them.
  o.registerMethod("RequestPinCode")
      .onInterface(agent)
      .implementedAs([](sdbus::Result<std::string>&& result, const sdbus::ObjectPath& device) {
        ask(std::move(result), device, {providePin, {}},
            [](const sdbus::Result<std::string>& r) { r.returnResults(std::string("0000")); });
      });
  o.registerMethod("RequestPasskey")
      .onInterface(agent)
      .implementedAs([](sdbus::Result<uint32_t>&& result, const sdbus::ObjectPath& device) {
        ask(std::move(result), device, {providePin, {}},
            [](const sdbus::Result<uint32_t>& r) { r.returnResults(0u); });
      });
  // Shown on our side only; nothing to answer.
  o.registerMethod("DisplayPinCode")
      .onInterface(agent)
      .implementedAs([](const sdbus::ObjectPath&, const std::string&) {});
  o.registerMethod("DisplayPasskey")
      .onInterface(agent)
      .implementedAs([](const sdbus::ObjectPath&, uint32_t, uint16_t) {});
  // Incoming connections are not the bridge's to allow.
  o.registerMethod("AuthorizeService")
      .onInterface(agent)
      .implementedAs([](const sdbus::ObjectPath&, const std::string&) { throw rejected; });
  o.registerMethod("Cancel").onInterface(agent).implementedAs([] {});
  o.finishRegistration();
  (void)displayPin;
}

void exportProfile(sdbus::IConnection& connection, Callbacks& c) {
  const char* profile = "org.bluez.Profile1";
  c.profile = sdbus::createObject(connection, profilePath);
  auto& o = *c.profile;
  o.registerMethod("Release").onInterface(profile).implementedAs([] {
    auto& c = callbacks();
    std::lock_guard guard(c.lock);
    c.profileRegistered.reset();
  });
  o.registerMethod("NewConnection")
      .onInterface(profile)
      .implementedAs([](const sdbus::ObjectPath& device, sdbus::UnixFd fd,
                        const std::map<std::string, sdbus::Variant>&) {
        auto& c = callbacks();
        std::lock_guard guard(c.lock);
        auto [it, fresh] = c.sockets.try_emplace(device, -1);
        // A socket nobody took (its connect gave up) is not left open.
        if (!fresh && it->second >= 0) ::close(it->second);
        it->second = fd.release();
      });
  o.registerMethod("RequestDisconnection")
      .onInterface(profile)
      .implementedAs([](const sdbus::ObjectPath& device) {
        std::vector<std::function<void(const std::string&)>> handlers;
        {
          auto& c = callbacks();
          std::lock_guard guard(c.lock);
          handlers = c.disconnectionHandlers;
        }
        for (const auto& handler : handlers) handler(device);
      });
  o.finishRegistration();
}

}  // namespace

void exportCallbackObjects(sdbus::IConnection& connection) {
  auto& c = callbacks();
  std::lock_guard guard(c.lock);
  exportAgent(connection, c);
  exportProfile(connection, c);
}

void ensureAgent() {
  auto& c = callbacks();
  const uint64_t generation = serviceGeneration();
  {
    std::lock_guard guard(c.lock);
    if (c.agentRegistered == generation) return;
  }
  try {
    proxy("/org/bluez")
        .callMethod("RegisterAgent")
        .onInterface("org.bluez.AgentManager1")
        .withArguments(sdbus::ObjectPath(agentPath), std::string("DisplayYesNo"));
  } catch (const sdbus::Error& e) {
    // Registered before (a Release that never came): it is ours all the same.
    if (e.getName() != "org.bluez.Error.AlreadyExists") throw;
  }
  std::lock_guard guard(c.lock);
  c.agentRegistered = generation;
  c.agentWanted = true;
}

std::shared_ptr<void> routeAgentRequests(const std::string& device, PairingRun run) {
  auto shared = std::make_shared<PairingRun>(std::move(run));
  auto& c = callbacks();
  {
    std::lock_guard guard(c.lock);
    c.runs[device] = shared;
  }
  // The route ends with the last copy of the token; whoever waits for the pairing goes on.
  return std::shared_ptr<void>(nullptr, [shared, device](void*) mutable {
    auto& c = callbacks();
    std::lock_guard guard(c.lock);
    auto it = c.runs.find(device);
    if (it != c.runs.end() && it->second.lock() == shared) c.runs.erase(it);
    shared.reset();
    c.settled.notify_all();
  });
}

namespace {

// One more of `device` in `counts` until the token is dropped.
std::shared_ptr<void> count(std::map<std::string, int> Callbacks::*counts,
                            const std::string& device) {
  auto& c = callbacks();
  {
    std::lock_guard guard(c.lock);
    ++(c.*counts)[device];
  }
  return std::shared_ptr<void>(nullptr, [counts, device](void*) {
    auto& c = callbacks();
    std::lock_guard guard(c.lock);
    auto it = (c.*counts).find(device);
    if (it != (c.*counts).end() && --it->second == 0) (c.*counts).erase(it);
    c.settled.notify_all();
  });
}

}  // namespace

std::shared_ptr<void> announcePairing(const std::string& device) {
  return count(&Callbacks::announced, device);
}

bool awaitPairing(const std::string& device, std::chrono::milliseconds limit) {
  auto& c = callbacks();
  std::unique_lock guard(c.lock);
  auto over = [&] {
    auto it = c.runs.find(device);
    return (it == c.runs.end() || it->second.expired()) && !c.announced.count(device);
  };
  if (over()) return false;
  c.settled.wait_for(guard, limit, over);
  return true;
}

std::shared_ptr<void> connectingTo(const std::string& device) {
  return count(&Callbacks::connecting, device);
}

void awaitConnectsTo(const std::string& device, std::chrono::milliseconds limit) {
  auto& c = callbacks();
  std::unique_lock guard(c.lock);
  c.settled.wait_for(guard, limit, [&] { return !c.connecting.count(device); });
}

void ensureProfile() {
  auto& c = callbacks();
  const uint64_t generation = serviceGeneration();
  {
    std::lock_guard guard(c.lock);
    if (c.profileRegistered == generation) return;
  }
  // A client only: BlueZ connects to the phone's record on ConnectProfile and never on its
  // own. The link's security is the phone's to ask for, as with a plain RFCOMM socket; BlueZ
  // would otherwise demand pairing before every connect to a phone not paired yet.
  std::map<std::string, sdbus::Variant> options{
      {"Role", sdbus::Variant(std::string("client"))},
      {"Name", sdbus::Variant(std::string("quintel-bt serial port"))},
      {"AutoConnect", sdbus::Variant(false)},
      {"RequireAuthentication", sdbus::Variant(false)},
  };
  try {
    proxy("/org/bluez")
        .callMethod("RegisterProfile")
        .onInterface("org.bluez.ProfileManager1")
        .withArguments(sdbus::ObjectPath(profilePath), std::string(serialPortUuid), options);
  } catch (const sdbus::Error& e) {
    if (e.getName() != "org.bluez.Error.AlreadyExists" ||
        e.getMessage().find("UUID") != std::string::npos)
      throw;
  }
  std::lock_guard guard(c.lock);
  c.profileRegistered = generation;
  c.profileWanted = true;
}

void registerAgain() {
  auto& c = callbacks();
  bool agent, profile;
  {
    std::lock_guard guard(c.lock);
    agent = c.agentWanted;
    profile = c.profileWanted;
  }
  // A service still starting may not take them yet; the next pair or connect tries again.
  try {
    if (agent) ensureAgent();
    if (profile) ensureProfile();
  } catch (const sdbus::Error&) {
  }
}

int takeHandedOverSocket(const std::string& device) {
  auto& c = callbacks();
  std::lock_guard guard(c.lock);
  auto it = c.sockets.find(device);
  if (it == c.sockets.end()) return -1;
  int fd = it->second;
  c.sockets.erase(it);
  return fd;
}

void onDisconnectionRequested(std::function<void(const std::string&)> handler) {
  auto& c = callbacks();
  std::lock_guard guard(c.lock);
  c.disconnectionHandlers.push_back(std::move(handler));
}

}  // namespace bluez
