// Address lookup, device records and pairing through BlueZ: Device1.Pair with the backend's
// own agent answering BlueZ's questions through the core's PairingRequested handlers.
#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/bluez/agent.h"
#include "platform/bluez/bus.h"
#include "platform/bluez/objects.h"
#include "platform/bluez/translate.h"
#include "platform/platform.h"

namespace platform {

namespace {

using Handler = std::function<void(const Ref<DevicePairingRequestedEventArgs>&)>;

// How long a Pair may wait for both sides to confirm.
constexpr auto pairTimeout = std::chrono::seconds(90);

std::string pathOf(const String& id) {
  return toUtf8(id);
}

}  // namespace

struct DeviceInformationPairing {
  std::string path;
  bool paired = false;
};

struct DeviceInformationCustomPairing {
  std::string path;
  std::mutex lock;                // guards handlers
  std::vector<Handler> handlers;  // PairingRequested registrations, for this object's life
};

struct DevicePairingRequestedEventArgs {
  int32_t kind = 0;
  String pin;
  std::atomic<bool> accepted{false};
};

struct DevicePairingResult {
  int32_t status = 0;
};

Async<Ref<BluetoothDevice>> bluetoothDeviceFromAddressAsync(uint64_t address) {
  return bluez::onPlatformThread<Ref<BluetoothDevice>>([address]() -> Ref<BluetoothDevice> {
    bluez::ManagedObjects objects = bluez::managedObjects();
    for (const auto& [path, properties] : bluez::devicesOf(objects, bluez::firstAdapter(objects)))
      if (bluez::parseAddress(bluez::value<std::string>(*properties, "Address")) == address)
        return std::make_shared<BluetoothDevice>(BluetoothDevice{path});
    return nullptr;
  });
}

Ref<DeviceInformation> bluetoothDeviceInformation(const Ref<BluetoothDevice>& device) {
  return std::make_shared<DeviceInformation>(DeviceInformation{device->path, false});
}

Async<Ref<DeviceInformation>> createFromIdAsync(const String& id) {
  return bluez::onPlatformThread<Ref<DeviceInformation>>(
      [path = pathOf(id)]() -> Ref<DeviceInformation> {
        try {
          bluez::Properties properties = bluez::deviceProperties(path);
          return std::make_shared<DeviceInformation>(
              DeviceInformation{path, bluez::value<bool>(properties, "Paired")});
        } catch (const sdbus::Error& e) {
          // The device went away since its id was learned.
          if (bluez::isMissingObject(e)) return nullptr;
          throw;
        }
      });
}

Ref<DeviceInformationPairing> deviceInformationPairing(const Ref<DeviceInformation>& info) {
  return std::make_shared<DeviceInformationPairing>(
      DeviceInformationPairing{info->path, info->paired});
}

bool pairingIsPaired(const Ref<DeviceInformationPairing>& pairing) {
  return pairing->paired;
}

Ref<DeviceInformationCustomPairing> pairingCustom(const Ref<DeviceInformationPairing>& pairing) {
  auto custom = std::make_shared<DeviceInformationCustomPairing>();
  custom->path = pairing->path;
  return custom;
}

void addPairingRequested(const Ref<DeviceInformationCustomPairing>& custom, Handler handler) {
  std::lock_guard guard(custom->lock);
  custom->handlers.push_back(std::move(handler));
}

namespace {

// What the agent's questions came to during one Pair: the status the run ends with when the
// bridge itself refused, as the Windows Runtime reports a ceremony its caller did not take.
struct Ceremony {
  std::mutex lock;
  std::optional<int32_t> refusal;
};

bool answer(const Ref<DeviceInformationCustomPairing>& custom, uint32_t kinds,
            const std::shared_ptr<Ceremony>& ceremony, const bluez::AgentRequest& question) {
  auto refuse = [&](int32_t status) {
    std::lock_guard guard(ceremony->lock);
    ceremony->refusal = status;
    return false;
  };
  if ((static_cast<uint32_t>(question.kind) & kinds) == 0) return refuse(bluez::statusFailed);
  std::vector<Handler> handlers;
  {
    std::lock_guard guard(custom->lock);
    handlers = custom->handlers;
  }
  if (handlers.empty()) return refuse(bluez::statusRequiredHandlerNotRegistered);
  auto request = std::make_shared<DevicePairingRequestedEventArgs>();
  request->kind = question.kind;
  request->pin = bluez::toUtf16(question.pin);
  for (const auto& handler : handlers) {
    try {
      handler(request);
    } catch (const hresult_error&) {
      // Handed back to the platform: the question simply goes unaccepted.
    }
  }
  if (!request->accepted) return refuse(bluez::statusRejectedByHandler);
  return true;
}

}  // namespace

Async<Ref<DevicePairingResult>> pairAsync(const Ref<DeviceInformationCustomPairing>& custom,
                                          uint32_t kinds, int32_t) {
  // The operation holds the object, and with it the registrations, until it completes.
  return bluez::onPlatformThread<Ref<DevicePairingResult>>([custom, kinds] {
    bluez::ensureAgent();
    auto ceremony = std::make_shared<Ceremony>();
    auto route = bluez::routeAgentRequests(
        custom->path, [custom, kinds, ceremony](const bluez::AgentRequest& question) {
          return answer(custom, kinds, ceremony, question);
        });
    int32_t status = bluez::statusPaired;
    try {
      bluez::proxy(custom->path)
          .callMethod("Pair")
          .onInterface(bluez::deviceInterface)
          .withTimeout(pairTimeout);
    } catch (const sdbus::Error& e) {
      // Failures of the bus itself (no BlueZ, the device gone) are errors, not statuses.
      const std::string& name = e.getName();
      if (name.rfind("org.bluez.Error.", 0) != 0 && name != "org.freedesktop.DBus.Error.NoReply")
        throw;
      std::lock_guard guard(ceremony->lock);
      status = ceremony->refusal.value_or(bluez::errorMeaning(name).pairingStatus);
    }
    return std::make_shared<DevicePairingResult>(DevicePairingResult{status});
  });
}

int32_t pairingResultStatus(const Ref<DevicePairingResult>& result) {
  return result->status;
}

int32_t pairingRequestKind(const Ref<DevicePairingRequestedEventArgs>& request) {
  return request->kind;
}

String pairingRequestPin(const Ref<DevicePairingRequestedEventArgs>& request) {
  return request->pin;
}

void acceptPairingRequest(const Ref<DevicePairingRequestedEventArgs>& request) {
  request->accepted = true;
}

}  // namespace platform
