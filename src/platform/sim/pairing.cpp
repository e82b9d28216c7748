// Simulated address lookup, device records and custom pairing. (Filled in with pairing.)
#include "platform/platform.h"
#include "platform/sim/objects.h"
#include "platform/sim/runtime.h"

namespace platform {

namespace {
[[noreturn]] void notYet() { throw hresult_error{static_cast<int32_t>(0x80004001), u"Not implemented\r\n"}; }
}  // namespace

struct DeviceInformationPairing {};
struct DeviceInformationCustomPairing {};
struct DevicePairingRequestedEventArgs {};
struct DevicePairingResult {};

Async<Ref<BluetoothDevice>> bluetoothDeviceFromAddressAsync(uint64_t) { notYet(); }
Ref<DeviceInformation> bluetoothDeviceInformation(const Ref<BluetoothDevice>&) { notYet(); }
Async<Ref<DeviceInformation>> createFromIdAsync(const String&) { notYet(); }
Ref<DeviceInformationPairing> deviceInformationPairing(const Ref<DeviceInformation>&) { notYet(); }
bool pairingIsPaired(const Ref<DeviceInformationPairing>&) { notYet(); }
Ref<DeviceInformationCustomPairing> pairingCustom(const Ref<DeviceInformationPairing>&) { notYet(); }
void addPairingRequested(const Ref<DeviceInformationCustomPairing>&,
                         std::function<void(const Ref<DevicePairingRequestedEventArgs>&)>) { notYet(); }
Async<Ref<DevicePairingResult>> pairAsync(const Ref<DeviceInformationCustomPairing>&, uint32_t, int32_t) { notYet(); }
int32_t pairingResultStatus(const Ref<DevicePairingResult>&) { notYet(); }
int32_t pairingRequestKind(const Ref<DevicePairingRequestedEventArgs>&) { notYet(); }
String pairingRequestPin(const Ref<DevicePairingRequestedEventArgs>&) { notYet(); }
void acceptPairingRequest(const Ref<DevicePairingRequestedEventArgs>&) { notYet(); }

}  // namespace platform
