// Address lookup, device records and pairing through BlueZ: Device1.Pair with the backend's
// own agent answering BlueZ's questions through the core's PairingRequested handlers.
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/bluez/adapter.h"
#include "platform/bluez/agent.h"
#include "platform/bluez/bus.h"
#include "platform/bluez/discovery.h"
#include "platform/bluez/objects.h"
#include "platform/bluez/translate.h"
#include "platform/platform.h"
#include "platform/posix/ceremony.h"

namespace platform {

namespace {

// How long a Pair may wait for both sides to confirm.
constexpr auto pairTimeout = std::chrono::seconds(90);
// How long a pairing waits for a connect to the same phone that was already under way.
constexpr auto connectPatience = std::chrono::seconds(60);

std::string pathOf(const String& id) {
  return toUtf8(id);
}

}  // namespace

struct DeviceInformationPairing {
  std::string path;
  bool paired = false;
  std::shared_ptr<void> pairing;  // the record's announcement, held as long
};

struct DeviceInformationCustomPairing {
  std::string path;
  posix::PairingHandlers requested;
  std::shared_ptr<void> pairing;
};

namespace {

// Lookups of an address under way, and who waits for each answer, in the order they asked.
struct Lookups {
  std::mutex lock;
  std::map<uint64_t, std::vector<Completion<Ref<BluetoothDevice>>>> waiting;
};

Lookups& lookups() {
  static auto* instance = new Lookups;
  return *instance;
}

}  // namespace

// A device BlueZ forgot since the scan that found it is looked for again, as Windows still
// knows it then. Lookups of one address share one search and are answered in the order they
// were asked, each caller going on to its next call before the next is answered: a pair asked
// just before a connect to the same phone has announced itself (createFromIdAsync) by the time
// the connect learns the device, and the connect waits for it.
Async<Ref<BluetoothDevice>> bluetoothDeviceFromAddressAsync(uint64_t address) {
  auto [op, done] = Async<Ref<BluetoothDevice>>::pending();
  auto& l = lookups();
  {
    std::lock_guard guard(l.lock);
    auto& waiting = l.waiting[address];
    waiting.push_back(done);
    if (waiting.size() > 1) return std::move(op);
  }
  posix::runOnPlatformThread([address] {
    std::string path;
    std::optional<hresult_error> failure;
    try {
      path = bluez::findDevice(address);
    } catch (const sdbus::Error& e) {
      failure = bluez::toError(e);
    }
    auto& l = lookups();
    for (;;) {
      std::vector<Completion<Ref<BluetoothDevice>>> batch;
      {
        std::lock_guard guard(l.lock);
        auto it = l.waiting.find(address);
        batch.swap(it->second);
        // Kept until the last answer went out, so that a lookup asked meanwhile queues behind.
        if (batch.empty()) {
          l.waiting.erase(it);
          return;
        }
      }
      for (const auto& waiter : batch) {
        if (failure)
          waiter.fail(*failure);
        else
          waiter.complete(path.empty() ? nullptr
                                       : std::make_shared<BluetoothDevice>(BluetoothDevice{path}));
      }
    }
  });
  return std::move(op);
}

Ref<DeviceInformation> bluetoothDeviceInformation(const Ref<BluetoothDevice>& device) {
  return std::make_shared<DeviceInformation>(DeviceInformation{device->path, false, nullptr});
}

// Only a pair opens a device's record this way, so from this call on a connect to the device
// waits for the pairing's verdict: announced now, before the connect can get that far.
Async<Ref<DeviceInformation>> createFromIdAsync(const String& id) {
  auto pairing = bluez::announcePairing(pathOf(id));
  return bluez::onPlatformThread<Ref<DeviceInformation>>(
      [id = pathOf(id), pairing]() -> Ref<DeviceInformation> {
        try {
          std::string path = bluez::findDevice(id);
          if (path.empty()) return nullptr;
          bluez::Properties properties = bluez::deviceProperties(path);
          return std::make_shared<DeviceInformation>(
              DeviceInformation{path, bluez::value<bool>(properties, "Paired"), pairing});
        } catch (const sdbus::Error& e) {
          // The device went away since its id was learned.
          if (bluez::isMissingObject(e)) return nullptr;
          throw;
        }
      });
}

Ref<DeviceInformationPairing> deviceInformationPairing(const Ref<DeviceInformation>& info) {
  return std::make_shared<DeviceInformationPairing>(
      DeviceInformationPairing{info->path, info->paired, info->pairing});
}

bool pairingIsPaired(const Ref<DeviceInformationPairing>& pairing) {
  return pairing->paired;
}

Ref<DeviceInformationCustomPairing> pairingCustom(const Ref<DeviceInformationPairing>& pairing) {
  auto custom = std::make_shared<DeviceInformationCustomPairing>();
  custom->path = pairing->path;
  custom->pairing = pairing->pairing;
  return custom;
}

void addPairingRequested(const Ref<DeviceInformationCustomPairing>& custom,
                         posix::PairingHandler handler) {
  custom->requested.add(std::move(handler));
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
  auto request = std::make_shared<DevicePairingRequestedEventArgs>();
  request->kind = question.kind;
  request->pin = bluez::toUtf16(question.pin);
  auto refusal = posix::askHandlers(custom->requested, kinds, request);
  if (!refusal) return true;
  std::lock_guard guard(ceremony->lock);
  ceremony->refusal = refusal;
  return false;
}

}  // namespace

Async<Ref<DevicePairingResult>> pairAsync(const Ref<DeviceInformationCustomPairing>& custom,
                                          uint32_t kinds, int32_t) {
  // The operation holds the object, and with it the registrations, until it completes. The
  // route is taken at once: a connect to the same phone asked meanwhile waits for this pairing.
  auto ceremony = std::make_shared<Ceremony>();
  auto route = bluez::routeAgentRequests(
      custom->path, [custom, kinds, ceremony](const bluez::AgentRequest& question) {
        return answer(custom, kinds, ceremony, question);
      });
  return bluez::onPlatformThread<Ref<DevicePairingResult>>([custom, ceremony, route]() mutable {
    auto release = std::move(route);  // ends with the body, not with the operation's last copy
    bluez::ensureAgent();
    // A connect already in flight pages the phone without this pairing; should the phone demand
    // authentication then, bluetoothd asks the default agent, and a Pair joining that exchange
    // fails with its refusal. The connect, failing, waits for this pairing and tries again.
    bluez::awaitConnectsTo(custom->path, connectPatience);
    int32_t status = bluez::statusPaired;
    try {
      bluez::proxy(custom->path)
          .callMethod("Pair")
          .onInterface(bluez::deviceInterface)
          .withTimeout(pairTimeout);
    } catch (const sdbus::Error& e) {
      bluez::awaitAdapterNews(custom->path, e);
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

}  // namespace platform
