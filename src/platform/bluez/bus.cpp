#include "platform/bluez/bus.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/bluez/agent.h"
#include "platform/bluez/translate.h"

namespace bluez {

namespace {

using AddedHandler = std::function<void(const std::string&, const Interfaces&)>;
using RemovedHandler = std::function<void(const std::string&, const std::vector<std::string>&)>;
using ChangedHandler = std::function<void(const std::string&, const Properties&)>;
using OwnerHandler = std::function<void(bool)>;

struct Bus {
  std::unique_ptr<sdbus::IConnection> connection;
  std::unique_ptr<sdbus::IProxy> objectManager;
  std::mutex lock;  // guards proxies and the handlers
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies;
  std::vector<AddedHandler> added;
  std::vector<RemovedHandler> removed;
  std::vector<ChangedHandler> changed;
  std::vector<OwnerHandler> owner;
  std::atomic<uint64_t> generation{0};
};

std::mutex busLock;  // guards the creation of the bus
// Never destroyed: platform threads and the dispatch thread may still use it while the
// process ends.
Bus* theBus = nullptr;

// Calls the handlers in `list` with `args`, outside the lock (a handler may register another).
template <typename Handler, typename... Args>
void raise(Bus& b, std::vector<Handler> Bus::*list, const Args&... args) {
  std::vector<Handler> handlers;
  {
    std::lock_guard guard(b.lock);
    handlers = b.*list;
  }
  for (const auto& handler : handlers) handler(args...);
}

// Every match is added before the dispatch thread starts: sd-bus is not to be driven from
// two threads at once.
void subscribe(Bus& b) {
  const char* objectManager = "org.freedesktop.DBus.ObjectManager";
  b.objectManager->uponSignal("InterfacesAdded")
      .onInterface(objectManager)
      .call([&b](const sdbus::ObjectPath& path, const Interfaces& interfaces) {
        raise(b, &Bus::added, std::string(path), interfaces);
      });
  b.objectManager->uponSignal("InterfacesRemoved")
      .onInterface(objectManager)
      .call([&b](const sdbus::ObjectPath& path, const std::vector<std::string>& interfaces) {
        raise(b, &Bus::removed, std::string(path), interfaces);
      });
  b.objectManager->finishRegistration();
  // Any adapter's properties: the paths are not known in advance and may change.
  b.connection->addMatch(
      std::string("type='signal',sender='") + service + "',interface='" + propertiesInterface +
          "',member='PropertiesChanged',arg0='" + adapterInterface + "'",
      [&b](sdbus::Message& message) {
        std::string interface;
        Properties properties;
        try {
          message >> interface >> properties;
        } catch (const sdbus::Error&) {
          return;  // not the signal's documented shape
        }
        raise(b, &Bus::changed, message.getPath(), properties);
      },
      sdbus::floating_slot);
  b.connection->addMatch(
      std::string("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                  "member='NameOwnerChanged',arg0='") +
          service + "'",
      [&b](sdbus::Message& message) {
        std::string name, before, after;
        try {
          message >> name >> before >> after;
        } catch (const sdbus::Error&) {
          return;
        }
        if (name != service) return;
        ++b.generation;
        raise(b, &Bus::owner, !after.empty());
      },
      sdbus::floating_slot);
}

Bus& bus() {
  std::lock_guard guard(busLock);
  if (theBus) return *theBus;
  auto created = std::make_unique<Bus>();
  created->connection = sdbus::createSystemBusConnection();
  created->objectManager = sdbus::createProxy(*created->connection, service, "/");
  subscribe(*created);
  exportCallbackObjects(*created->connection);
  created->connection->enterEventLoopAsync();
  theBus = created.release();
  return *theBus;
}

template <typename Handler>
void add(std::vector<Handler> Bus::*list, Handler handler) {
  Bus& b = bus();
  std::lock_guard guard(b.lock);
  (b.*list).push_back(std::move(handler));
}

}  // namespace

sdbus::IConnection& connection() {
  return *bus().connection;
}

sdbus::IProxy& proxy(const std::string& path) {
  Bus& b = bus();
  std::lock_guard guard(b.lock);
  auto& slot = b.proxies[path];
  if (!slot) slot = sdbus::createProxy(*b.connection, service, path);
  return *slot;
}

ManagedObjects managedObjects() {
  Bus& b = bus();
  ManagedObjects objects;
  b.objectManager->callMethod("GetManagedObjects")
      .onInterface("org.freedesktop.DBus.ObjectManager")
      .storeResultsTo(objects);
  return objects;
}

std::vector<std::pair<std::string, const Properties*>> devicesOf(const ManagedObjects& objects,
                                                                 const std::string& adapter) {
  std::vector<std::pair<std::string, const Properties*>> devices;
  if (adapter.empty()) return devices;
  const std::string prefix = adapter + "/";
  for (const auto& [path, interfaces] : objects) {
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    if (path.find('/', prefix.size()) != std::string::npos) continue;
    auto it = interfaces.find(deviceInterface);
    if (it != interfaces.end()) devices.emplace_back(path, &it->second);
  }
  return devices;
}

// BlueZ's D-Bus API carries no BR/EDR flag. A BR/EDR controller always has a public address,
// while LE-only controllers mostly use a random one.
bool adapterIsClassic(const Properties& adapter) {
  return value<std::string>(adapter, "AddressType", "public") == "public";
}

Properties deviceProperties(const std::string& path) {
  Properties properties;
  proxy(path)
      .callMethod("GetAll")
      .onInterface(propertiesInterface)
      .withArguments(std::string(deviceInterface))
      .storeResultsTo(properties);
  return properties;
}

platform::hresult_error toError(const sdbus::Error& error) {
  // Without a message the name is the most a reader can be told.
  const std::string& text = error.getMessage().empty() ? error.getName() : error.getMessage();
  return {errorMeaning(error.getName()).code, toUtf16(text)};
}

platform::hresult_error errnoError(int error) {
  return {errnoCode(error), toUtf16(std::strerror(error))};
}

bool isMissingObject(const sdbus::Error& error) {
  const std::string& name = error.getName();
  return name == "org.freedesktop.DBus.Error.UnknownObject" ||
         name == "org.freedesktop.DBus.Error.UnknownMethod" ||
         name == "org.freedesktop.DBus.Error.InvalidArgs" || name == "org.bluez.Error.DoesNotExist";
}

void onInterfacesAdded(AddedHandler handler) {
  add(&Bus::added, std::move(handler));
}

void onInterfacesRemoved(RemovedHandler handler) {
  add(&Bus::removed, std::move(handler));
}

void onAdapterChanged(ChangedHandler handler) {
  add(&Bus::changed, std::move(handler));
}

void onServiceOwner(OwnerHandler handler) {
  add(&Bus::owner, std::move(handler));
}

uint64_t serviceGeneration() {
  return bus().generation;
}

}  // namespace bluez
