#pragma once
// The Windows Runtime classes of the stack double, one role per file, and what one role hands
// to another. Each class answers from the model (src/platform/sim), strict where Windows is.
#include <functional>
#include <string>
#include <vector>

#include <winrt/Windows.Devices.Bluetooth.Rfcomm.h>
#include <winrt/Windows.Devices.Bluetooth.h>
#include <winrt/Windows.Devices.Enumeration.h>
#include <winrt/Windows.Foundation.Collections.h>
#include <winrt/Windows.Foundation.h>
#include <winrt/Windows.Networking.Sockets.h>
#include <winrt/Windows.Networking.h>
#include <winrt/Windows.Storage.Streams.h>

#include "common.h"
#include "platform/sim/state.h"

namespace stack {

namespace wfc = winrt::Windows::Foundation::Collections;
namespace wdb = winrt::Windows::Devices::Bluetooth;
namespace wde = winrt::Windows::Devices::Enumeration;
namespace rfc = winrt::Windows::Devices::Bluetooth::Rfcomm;
namespace wn = winrt::Windows::Networking;
namespace wns = winrt::Windows::Networking::Sockets;
namespace wss = winrt::Windows::Storage::Streams;

// The activation factory of each class the launcher registers (activation.cpp).
wf::IActivationFactory adapterFactory();            // adapter.cpp
wf::IActivationFactory deviceFactory();             // devices.cpp
wf::IActivationFactory deviceInformationFactory();  // records.cpp
wf::IActivationFactory serviceIdFactory();          // rfcomm.cpp
wf::IActivationFactory hostNameFactory();           // rfcomm.cpp
wf::IActivationFactory streamSocketFactory();       // socket.cpp
wf::IActivationFactory dataReaderFactory();         // data_reader.cpp
wf::IActivationFactory dataWriterFactory();         // data_writer.cpp

// adapter.cpp: the model's adapter as the double shows it: the selector of adapter interfaces,
// the interface id of each adapter plugged in, and each change of the model's adapter (state.h)
// for the radios and adapter watchers that follow it, on the model's thread, for as long as
// `changed` returns true.
hstring adapterSelector();
hstring adapterInterfaceId(uint32_t instance);
void followAdapterChanges(
    std::function<bool(const sim::AdapterNow& before, const sim::AdapterNow& after)> changed);

// adapter_watcher.cpp: a device watcher on the adapter selector.
wde::DeviceWatcher createAdapterWatcher();

// records.cpp: a device record (null stays null), and the update a watcher's Removed carries.
wde::DeviceInformation wrapInformation(
    Ref<platform::DeviceInformation> info,
    wde::DeviceInformationKind kind = wde::DeviceInformationKind::AssociationEndpoint);
wde::DeviceInformationUpdate wrapUpdate(const hstring& id, wde::DeviceInformationKind kind);

// pairing.cpp: a record's pairing object.
wde::DeviceInformationPairing wrapPairing(Ref<platform::DeviceInformationPairing> pairing);

// watcher.cpp: DeviceInformation.CreateWatcher(selector, properties, kind).
wde::DeviceWatcher createWatcher(const hstring& selector, const wfc::IIterable<hstring>& properties,
                                 wde::DeviceInformationKind kind);

// rfcomm.cpp: the model behind a service id or a host name the double handed out (a null one
// is an invalid argument), their names in the trace, and a services lookup as an operation.
Ref<platform::RfcommServiceId> serviceIdModel(const rfc::RfcommServiceId& id);
std::string nameOf(const rfc::RfcommServiceId& id);
Ref<platform::HostName> hostNameModel(const wn::HostName& host);
std::string nameOf(const wn::HostName& host);
wf::IAsyncOperation<rfc::RfcommDeviceServicesResult> servicesOperation(
    platform::Async<Ref<platform::RfcommDeviceServicesResult>> lookup);

// streams.cpp: the socket's streams, and the double's own buffers they pass bytes in.
struct Buffer : winrt::implements<Buffer, wss::IBuffer> {
  explicit Buffer(uint32_t capacity);
  explicit Buffer(std::vector<uint8_t> bytes);
  uint32_t Capacity() const { return capacity_; }
  uint32_t Length() const { return static_cast<uint32_t>(bytes_.size()); }
  void Length(uint32_t length);
  uint32_t capacity_;
  std::vector<uint8_t> bytes_;
};
Buffer& bufferOf(const wss::IBuffer& buffer);
wss::IInputStream wrapInputStream(Ref<platform::InputStream> stream);
wss::IOutputStream wrapOutputStream(Ref<platform::OutputStream> stream);
std::string nameOf(const wss::IInputStream& stream);
std::string nameOf(const wss::IOutputStream& stream);
// The model's writer is made when a DataWriter is made over the stream.
void prepareWriter(const wss::IOutputStream& stream);

}  // namespace stack
