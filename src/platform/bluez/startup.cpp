// Process start-up on BlueZ: the backend's name and the adapter probe. The standard streams
// and the executable's directory are src/platform/posix's; the adapter's state, adapter.cpp's.
#include "platform/bluez/bus.h"
#include "platform/platform.h"

namespace platform {

struct BluetoothAdapter {
  std::string path;
  bool classic = false;
};

const char* backendName() {
  return "bluez";
}

const char* backendKind() {
  return "bluez";
}

// No apartment to join. The bus is opened at the adapter probe, so that a machine without
// a system bus or BlueZ still starts and says why in the log.
bool joinMultithreadedApartment() {
  return true;
}

Async<Ref<BluetoothAdapter>> getDefaultAdapterAsync() {
  return bluez::onPlatformThread<Ref<BluetoothAdapter>>([]() -> Ref<BluetoothAdapter> {
    bluez::ManagedObjects objects = bluez::managedObjects();
    std::string path = bluez::adapterPath(objects);
    if (path.empty()) return nullptr;
    const auto& properties = objects[sdbus::ObjectPath(path)][bluez::adapterInterface];
    return std::make_shared<BluetoothAdapter>(
        BluetoothAdapter{path, bluez::adapterIsClassic(properties)});
  });
}

bool isClassicSupported(const Ref<BluetoothAdapter>& adapter) {
  return adapter->classic;
}

}  // namespace platform
