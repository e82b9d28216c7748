// The RFCOMM serial-port service, the stream socket and the data reader and writer over it.
#include <algorithm>

#include "platform/windows/async.h"

namespace platform {

namespace rfcomm = wdb::Rfcomm;

Async<Ref<BluetoothDevice>> bluetoothDeviceFromIdAsync(const String& id) {
  return fromOperation<Ref<BluetoothDevice>>(
      [&] { return wdb::BluetoothDevice::FromIdAsync(toHstring(id)); },
      wrap<BluetoothDevice, wdb::BluetoothDevice>);
}

namespace {

// A lookup that could not ask completes with no services and the reason in Error: the phone
// out of range or switched off (DeviceNotConnected), the radio off (RadioNotAvailable). That
// is a failure to report, not a phone without the serial service.
Ref<RfcommDeviceServicesResult> servicesOrFailure(
    const rfcomm::RfcommDeviceServicesResult& result) {
  if (result) {
    wdb::BluetoothError error = result.Error();
    if (error != wdb::BluetoothError::Success) throw bluetoothError(error);
  }
  return wrap<RfcommDeviceServicesResult>(result);
}

}  // namespace

Ref<RfcommServiceId> rfcommSerialPortId() {
  return winrtCall([] { return wrap<RfcommServiceId>(rfcomm::RfcommServiceId::SerialPort()); });
}

Async<Ref<RfcommDeviceServicesResult>> getRfcommServicesForIdAsync(
    const Ref<BluetoothDevice>& device, const Ref<RfcommServiceId>& serviceId) {
  return fromOperation<Ref<RfcommDeviceServicesResult>>(
      [&] { return device->value.GetRfcommServicesForIdAsync(serviceId->value); },
      servicesOrFailure);
}

Async<Ref<RfcommDeviceServicesResult>> getRfcommServicesForIdUncachedAsync(
    const Ref<BluetoothDevice>& device, const Ref<RfcommServiceId>& serviceId) {
  return fromOperation<Ref<RfcommDeviceServicesResult>>(
      [&] {
        return device->value.GetRfcommServicesForIdAsync(serviceId->value,
                                                         wdb::BluetoothCacheMode::Uncached);
      },
      servicesOrFailure);
}

uint32_t servicesSize(const Ref<RfcommDeviceServicesResult>& result) {
  return winrtCall([&] { return result->value.Services().Size(); });
}

Ref<RfcommDeviceService> serviceAt(const Ref<RfcommDeviceServicesResult>& result, uint32_t index) {
  return winrtCall(
      [&] { return wrap<RfcommDeviceService>(result->value.Services().GetAt(index)); });
}

String connectionServiceName(const Ref<RfcommDeviceService>& service) {
  return winrtCall([&] { return fromHstring(service->value.ConnectionServiceName()); });
}

Ref<HostName> connectionHostName(const Ref<RfcommDeviceService>& service) {
  return winrtCall([&] { return wrap<HostName>(service->value.ConnectionHostName()); });
}

Ref<StreamSocket> newStreamSocket() {
  return winrtCall(
      [] { return wrap<StreamSocket>(winrt::Windows::Networking::Sockets::StreamSocket()); });
}

Async<void> connectAsync(const Ref<StreamSocket>& socket, const Ref<HostName>& host,
                         const String& serviceName) {
  return fromOperation<void>(
      [&] { return socket->value.ConnectAsync(host->value, toHstring(serviceName)); });
}

Ref<OutputStream> socketOutputStream(const Ref<StreamSocket>& socket) {
  return winrtCall([&] { return wrap<OutputStream>(socket->value.OutputStream()); });
}

Ref<InputStream> socketInputStream(const Ref<StreamSocket>& socket) {
  return winrtCall([&] { return wrap<InputStream>(socket->value.InputStream()); });
}

void closeSocket(const Ref<StreamSocket>& socket) {
  winrtCall([&] { socket->value.Close(); });
}

Ref<DataReader> newDataReader(const Ref<InputStream>& input) {
  return winrtCall([&] { return wrap<DataReader>(wss::DataReader(input->value)); });
}

void setInputStreamOptionsPartial(const Ref<DataReader>& reader) {
  winrtCall([&] { reader->value.InputStreamOptions(wss::InputStreamOptions::Partial); });
}

Async<uint32_t> loadAsync(const Ref<DataReader>& reader, uint32_t count) {
  // The caller sizes its buffer by `count`; a larger answer must not reach it. What is left
  // stays loaded in the reader for the next read.
  return fromOperation<uint32_t>(
      [&] { return wf::IAsyncOperation<uint32_t>(reader->value.LoadAsync(count)); },
      [count](uint32_t loaded) { return std::min(loaded, count); });
}

void readBytes(const Ref<DataReader>& reader, std::span<uint8_t> out) {
  winrtCall([&] {
    reader->value.ReadBytes(
        winrt::array_view<uint8_t>(out.data(), static_cast<uint32_t>(out.size())));
  });
}

Ref<DataWriter> newDataWriter(const Ref<OutputStream>& output) {
  return winrtCall([&] { return wrap<DataWriter>(wss::DataWriter(output->value)); });
}

void writeBytes(const Ref<DataWriter>& writer, std::span<const uint8_t> bytes) {
  winrtCall([&] {
    writer->value.WriteBytes(
        winrt::array_view<const uint8_t>(bytes.data(), static_cast<uint32_t>(bytes.size())));
  });
}

Async<uint32_t> storeAsync(const Ref<DataWriter>& writer) {
  return fromOperation<uint32_t>(
      [&] { return wf::IAsyncOperation<uint32_t>(writer->value.StoreAsync()); });
}

}  // namespace platform
