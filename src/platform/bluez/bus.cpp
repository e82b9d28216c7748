#include "platform/bluez/bus.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/bluez/agent.h"
#include "platform/bluez/translate.h"

namespace bluez {

namespace {

using AddedHandler = std::function<void(const std::string&, const Interfaces&)>;

struct Bus {
  std::unique_ptr<sdbus::IConnection> connection;
  std::unique_ptr<sdbus::IProxy> objectManager;
  std::mutex lock;  // guards proxies and added
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies;
  std::vector<AddedHandler> added;
};

std::mutex busLock;  // guards the creation of the bus
// Never destroyed: platform threads and the dispatch thread may still use it while the
// process ends.
Bus* theBus = nullptr;

Bus& bus() {
  std::lock_guard guard(busLock);
  if (theBus) return *theBus;
  auto created = std::make_unique<Bus>();
  created->connection = sdbus::createSystemBusConnection();
  created->objectManager = sdbus::createProxy(*created->connection, service, "/");
  Bus* raw = created.get();
  created->objectManager->uponSignal("InterfacesAdded")
      .onInterface("org.freedesktop.DBus.ObjectManager")
      .call([raw](const sdbus::ObjectPath& path, const Interfaces& interfaces) {
        std::vector<AddedHandler> handlers;
        {
          std::lock_guard guard(raw->lock);
          handlers = raw->added;
        }
        for (const auto& handler : handlers) handler(path, interfaces);
      });
  created->objectManager->finishRegistration();
  exportCallbackObjects(*created->connection);
  created->connection->enterEventLoopAsync();
  theBus = created.release();
  return *theBus;
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

std::string firstAdapter(const ManagedObjects& objects) {
  for (const auto& [path, interfaces] : objects)
    if (interfaces.count(adapterInterface)) return path;
  return {};
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
  Bus& b = bus();
  std::lock_guard guard(b.lock);
  b.added.push_back(std::move(handler));
}

}  // namespace bluez
