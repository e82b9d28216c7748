#pragma once
// The seam's object types on Windows: each holds one projected Windows Runtime object.
// A Ref to one of them is a Ref to that runtime object; a null runtime object is a null Ref.
#include <windows.h>

#include <memory>
#include <utility>
#include <vector>

#include <winrt/Windows.Devices.Bluetooth.Rfcomm.h>
#include <winrt/Windows.Devices.Bluetooth.h>
#include <winrt/Windows.Devices.Enumeration.h>
#include <winrt/Windows.Foundation.Collections.h>
#include <winrt/Windows.Foundation.h>
#include <winrt/Windows.Networking.Sockets.h>
#include <winrt/Windows.Networking.h>
#include <winrt/Windows.Storage.Streams.h>

#include "platform/platform.h"

namespace platform {

namespace wf = winrt::Windows::Foundation;
namespace wdb = winrt::Windows::Devices::Bluetooth;
namespace wde = winrt::Windows::Devices::Enumeration;
namespace wss = winrt::Windows::Storage::Streams;

struct BluetoothAdapter {
  wdb::BluetoothAdapter value;
};
struct DeviceWatcher {
  wde::DeviceWatcher value;
};
struct DeviceInformation {
  wde::DeviceInformation value;
};
struct BluetoothDevice {
  wdb::BluetoothDevice value;
};
struct DeviceInformationPairing {
  wde::DeviceInformationPairing value;
};
// The PairingRequested registrations made through this wrapper end with it. The platform may
// keep the runtime object (and hand it out again for the next pairing of the same device), and a
// handler left behind would answer that pairing too.
struct DeviceInformationCustomPairing {
  explicit DeviceInformationCustomPairing(wde::DeviceInformationCustomPairing pairing)
      : value(std::move(pairing)) {}
  DeviceInformationCustomPairing(const DeviceInformationCustomPairing&) = delete;
  DeviceInformationCustomPairing& operator=(const DeviceInformationCustomPairing&) = delete;
  ~DeviceInformationCustomPairing() {
    for (const auto& token : registrations) value.PairingRequested(token);
  }

  wde::DeviceInformationCustomPairing value;
  std::vector<winrt::event_token> registrations;
};
struct DevicePairingRequestedEventArgs {
  wde::DevicePairingRequestedEventArgs value;
};
struct DevicePairingResult {
  wde::DevicePairingResult value;
};
struct RfcommServiceId {
  wdb::Rfcomm::RfcommServiceId value;
};
struct RfcommDeviceServicesResult {
  wdb::Rfcomm::RfcommDeviceServicesResult value;
};
struct RfcommDeviceService {
  wdb::Rfcomm::RfcommDeviceService value;
};
struct HostName {
  winrt::Windows::Networking::HostName value;
};
struct StreamSocket {
  winrt::Windows::Networking::Sockets::StreamSocket value;
};
struct InputStream {
  wss::IInputStream value;
};
struct OutputStream {
  wss::IOutputStream value;
};
struct DataReader {
  wss::DataReader value;
};
struct DataWriter {
  wss::DataWriter value;
};

// Wraps a projected object; null stays null.
template <typename T, typename W>
Ref<T> wrap(W object) {
  if (!object) return nullptr;
  return std::make_shared<T>(std::move(object));
}

// The seam's UTF-16 texts and the projection's hstring hold the same code units.
inline String fromHstring(const winrt::hstring& text) {
  return String(text.begin(), text.end());
}
inline winrt::hstring toHstring(const String& text) {
  return winrt::hstring(std::wstring(text.begin(), text.end()));
}

}  // namespace platform
