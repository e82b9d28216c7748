#pragma once
// The system bus and what every part of the backend does with it: the one connection and its
// dispatch thread, proxies of BlueZ's objects, the managed-object list, the translation of
// D-Bus failures, and the platform threads where completions reach the core.
//
// Only the dispatch thread reads the bus. Handlers that run there (signals, the agent, the
// profile) never call the core and never make a blocking call: they pass work on to a
// platform thread. Blocking calls are made on platform threads, the scan thread or the
// command thread, where sdbus-c++ waits for the reply through the dispatch thread.
#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/pool.h"

namespace bluez {

using Properties = std::map<std::string, sdbus::Variant>;
using Interfaces = std::map<std::string, Properties>;
using ManagedObjects = std::map<sdbus::ObjectPath, Interfaces>;

inline constexpr const char* service = "org.bluez";
inline constexpr const char* adapterInterface = "org.bluez.Adapter1";
inline constexpr const char* deviceInterface = "org.bluez.Device1";
inline constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";

// The connection, opened on first use with its dispatch thread; throws sdbus::Error when the
// system bus cannot be reached.
sdbus::IConnection& connection();
// A proxy of BlueZ's object at `path`, kept for the rest of the process.
sdbus::IProxy& proxy(const std::string& path);

// Every object BlueZ has, with its interfaces and their properties.
ManagedObjects managedObjects();
// The adapter in use among `objects` (adapter.cpp says which), or empty when there is none.
std::string adapterPath(const ManagedObjects& objects);
// Device1 objects directly under `adapter`.
std::vector<std::pair<std::string, const Properties*>> devicesOf(const ManagedObjects& objects,
                                                                 const std::string& adapter);
// Whether an adapter does BR/EDR, from its Adapter1 properties.
bool adapterIsClassic(const Properties& adapter);
// Device1's properties of one device; UnknownObject and the like raise sdbus::Error.
Properties deviceProperties(const std::string& path);

// A property's value when it is there with the type asked for.
template <typename T>
T value(const Properties& properties, const std::string& name, T otherwise = T()) {
  auto it = properties.find(name);
  if (it == properties.end() || !it->second.containsValueOfType<T>()) return otherwise;
  return it->second.get<T>();
}

// The seam's failure for a D-Bus error: a stable code per name, the D-Bus message as text.
platform::hresult_error toError(const sdbus::Error& error);
// The seam's failure for an errno.
platform::hresult_error errnoError(int error);
// True for the errors that say an object (a device) is not there.
bool isMissingObject(const sdbus::Error& error);

// BlueZ's signals. Each handler runs on the dispatch thread, so it must not block.
// Interfaces added under any path.
void onInterfacesAdded(std::function<void(const std::string& path, const Interfaces&)> handler);
// Interfaces removed from any path.
void onInterfacesRemoved(
    std::function<void(const std::string& path, const std::vector<std::string>&)> handler);
// Properties of an adapter that changed, with their new values.
void onAdapterChanged(std::function<void(const std::string& path, const Properties&)> handler);
// The service gained an owner (bluetoothd started) or lost it (it ended, however it ended).
void onServiceOwner(std::function<void(bool present)> handler);
// Counts the service's owners since the bus was opened: what was registered with an earlier
// one is gone.
uint64_t serviceGeneration();

// Runs `body` on a platform thread and completes the operation there with what it returns or
// throws. The body may make blocking calls.
template <typename T, typename Body>
platform::Async<T> onPlatformThread(Body body) {
  auto [op, done] = platform::Async<T>::pending();
  posix::runOnPlatformThread([done = done, body = std::move(body)]() mutable {
    try {
      if constexpr (std::is_void_v<T>) {
        body();
        done.complete();
      } else {
        done.complete(body());
      }
    } catch (const sdbus::Error& e) {
      done.fail(toError(e));
    } catch (const platform::hresult_error& e) {
      done.fail(e);
    }
  });
  return std::move(op);
}

}  // namespace bluez
