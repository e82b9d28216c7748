// Simulated RFCOMM services, stream sockets, readers, writers and the phone. (Filled in with
// connection.)
#include "platform/platform.h"
#include "platform/sim/objects.h"
#include "platform/sim/runtime.h"

namespace platform {

namespace {
[[noreturn]] void notYet() { throw hresult_error{static_cast<int32_t>(0x80004001), u"Not implemented\r\n"}; }
}  // namespace

struct RfcommServiceId {};
struct RfcommDeviceServicesResult {};
struct RfcommDeviceService {};
struct HostName {};
struct StreamSocket {};
struct InputStream {};
struct OutputStream {};
struct DataReader {};
struct DataWriter {};

Async<Ref<BluetoothDevice>> bluetoothDeviceFromIdAsync(const String&) { notYet(); }
Ref<RfcommServiceId> rfcommSerialPortId() { notYet(); }
Async<Ref<RfcommDeviceServicesResult>> getRfcommServicesForIdAsync(const Ref<BluetoothDevice>&, const Ref<RfcommServiceId>&) { notYet(); }
Async<Ref<RfcommDeviceServicesResult>> getRfcommServicesForIdUncachedAsync(const Ref<BluetoothDevice>&, const Ref<RfcommServiceId>&) { notYet(); }
uint32_t servicesSize(const Ref<RfcommDeviceServicesResult>&) { notYet(); }
Ref<RfcommDeviceService> serviceAt(const Ref<RfcommDeviceServicesResult>&, uint32_t) { notYet(); }
String connectionServiceName(const Ref<RfcommDeviceService>&) { notYet(); }
Ref<HostName> connectionHostName(const Ref<RfcommDeviceService>&) { notYet(); }
Ref<StreamSocket> newStreamSocket() { notYet(); }
Async<void> connectAsync(const Ref<StreamSocket>&, const Ref<HostName>&, const String&) { notYet(); }
Ref<OutputStream> socketOutputStream(const Ref<StreamSocket>&) { notYet(); }
Ref<InputStream> socketInputStream(const Ref<StreamSocket>&) { notYet(); }
void closeSocket(const Ref<StreamSocket>&) { notYet(); }
Ref<DataReader> newDataReader(const Ref<InputStream>&) { notYet(); }
void setInputStreamOptionsPartial(const Ref<DataReader>&) { notYet(); }
Async<uint32_t> loadAsync(const Ref<DataReader>&, uint32_t) { notYet(); }
void readBytes(const Ref<DataReader>&, std::span<uint8_t>) { notYet(); }
Ref<DataWriter> newDataWriter(const Ref<OutputStream>&) { notYet(); }
void writeBytes(const Ref<DataWriter>&, std::span<const uint8_t>) { notYet(); }
Async<uint32_t> storeAsync(const Ref<DataWriter>&) { notYet(); }

}  // namespace platform
