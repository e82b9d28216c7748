#pragma once
// The simulated world: what every platform operation of the simulated radio returns, when
// it completes and whether it fails. Read once, from the file named by QUINTEL_BT_WORLD or
// from the built-in default world. The format is described in docs/simulator.md.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace sim {

// A failure code to raise, or none.
using Fault = std::optional<int32_t>;

enum class AdapterKind { present, absent, failing };

// The thread a platform completion (and a watcher or pairing callback) arrives on: a new one
// for each; the thread that starts the operation, inside the call and without its delay (the
// operation is complete before it is returned); or one platform thread for all, in order.
enum class Completions { platformThread, atOnce, oneThread };

// What the phone's application does with the connection once it is open.
enum class PhoneMode { echo, silent, live };

// One scripted step the phone takes as soon as the connection opens, in order.
struct PhoneStep {
  enum Kind { send, burst, wait, close, drop } kind;
  std::string bytes;   // send
  uint64_t count = 0;  // burst: bytes; wait: milliseconds
};

struct Device {
  uint64_t address = 0;
  std::u16string name;
  std::u16string id;                            // DeviceInformation.Id
  bool paired = false;                          // IsPaired, and authenticated in both searches
  bool remembered = false;                      // the first (remembered devices) search returns it
  std::optional<int32_t> inquiryAuthenticated;  // fAuthenticated in the inquiry; default: paired
  int heard = 1;                                // times the inquiry search returns it (0: silent)
  bool inRange = true;   // switched on and within range at start (the control channel changes it)
  bool watcher = false;  // the device watcher reports it (Added, with `id`)

  // BluetoothDevice.FromBluetoothAddressAsync
  enum class Lookup { found, unknown, noRecord } lookup = Lookup::found;
  Fault lookupError;
  // DeviceInformation.CreateFromIdAsync and BluetoothDevice.FromIdAsync
  bool recordNone = false;
  Fault recordError;
  bool fromIdNone = false;
  Fault fromIdError;
  // DeviceInformation.Pairing is null, as for a record that is not an association endpoint.
  bool pairingNone = false;

  // Pairing: the ceremony the platform asks for (0: no callback), its PIN, and the outcome.
  int32_t pairingKind = 8;
  std::u16string pin = u"123456";
  int32_t pairStatus = 0;
  Fault pairError;         // PairAsync fails with this code
  Fault acceptError;       // Accept fails inside the callback
  Fault pairingReadError;  // reading IsPaired fails
  uint32_t pairDelayMs = 20;

  // RFCOMM service lookups: how many SPP services each lists, or a failure.
  uint32_t servicesCached = 1;
  uint32_t servicesUncached = 1;
  Fault servicesCachedError;
  Fault servicesUncachedError;

  // The connection.
  Fault connectError;  // ConnectAsync refused with this code
  uint32_t connectDelayMs = 5;
  Fault outputStreamError;  // StreamSocket.OutputStream fails
  Fault writerError;        // new DataWriter fails
  PhoneMode phone = PhoneMode::echo;
  std::string livePath;  // phone live: Unix-domain socket path
  std::vector<PhoneStep> onConnect;
  std::optional<uint64_t> closeAfterBytes;  // the phone closes after receiving this many bytes
  std::optional<uint64_t> dropAfterBytes;   // the link drops after this many received bytes
  Fault storeError;                         // stores fail with this code...
  uint64_t storeErrorAfterBytes = 0;        // ...once this many bytes have been stored
  uint32_t storeDelayMs = 0;                // a store takes this long before the phone has it
};

struct World {
  AdapterKind adapter = AdapterKind::present;
  bool classic = true;
  Fault adapterError;  // adapter error CODE
  uint32_t probeDelayMs = 0;
  bool radioOn = true;  // the system's Bluetooth switch at start

  // The control channel: a Unix-domain socket a test listens on, connected at start (control.h).
  std::string controlPath;
  // How long a page of a phone out of range goes unanswered (Bluetooth's default, 5.12 s).
  uint32_t pageTimeoutMs = 5120;
  // How long the stack stays away on `stack restart`.
  uint32_t stackRestartMs = 1000;

  Completions completions = Completions::platformThread;

  double inquiryUnitMs = 1280;  // one Bluetooth inquiry unit
  uint64_t localAddress = 0x001A7DDA7110;

  // Classic device search.
  Fault rememberedSearchError;         // first search: null handle with this last error
  Fault inquirySearchError;            // second search: null handle with this last error
  std::vector<uint64_t> inquiryOrder;  // explicit order of the inquiry's results, if given

  // Device watcher.
  Fault selectorError;
  Fault createWatcherError;
  Fault startWatcherError;
  Fault addHandlerError;
  std::optional<int32_t> watcherStatus;  // status read right after Start; default Started (1)
  uint32_t watcherAddedDelayMs = 0;
  uint32_t enumerationDelayMs = 0;
  bool enumerationCompletes = true;
  bool stopAlwaysRefused = false;
  int32_t stopRefusedCode = static_cast<int32_t>(0x8000000E);  // E_ILLEGAL_METHOD_CALL

  // The Windows stack double only: its DataReader loads up to this many bytes more than asked
  // for, as a faulty stack might (docs/windows.md).
  uint32_t loadBeyond = 0;

  std::vector<Device> devices;
  std::map<int32_t, std::u16string> messages;  // platform message text per code

  const Device* find(uint64_t address) const;
  const Device* findById(const std::u16string& id) const;
  // The platform error for a code, with the world's message text for it.
  platform::hresult_error error(int32_t code) const;
};

// Pairing state changes at run time: a successful pairing is remembered, as Windows does.
bool isPaired(const Device& device);
void markPaired(uint64_t address);

// Parses a world; on a malformed line, fills `problem` ("line N: ...") and returns nothing.
std::optional<World> parseWorld(const std::string& text, std::string& problem);

// The built-in default world's text.
extern const char* const defaultWorldText;

// The process's world, read on first use. A world file that cannot be read or parsed ends
// the process with a message on standard error, as a broken installation would.
World& world();

}  // namespace sim
