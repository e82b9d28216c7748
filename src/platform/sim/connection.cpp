// Simulated RFCOMM services, stream sockets, readers and writers. The phone at the far end
// of each socket lives in phone.cpp.
#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/services.h"
#include "platform/sim/objects.h"
#include "platform/sim/phone.h"
#include "platform/sim/runtime.h"

namespace platform {

struct RfcommDeviceService {
  const sim::Device* device = nullptr;
  uint32_t index = 0;  // only the first service listed has the phone's application behind it
};

struct HostName {
  const sim::Device* device = nullptr;
};

struct StreamSocket {
  std::mutex lock;
  std::shared_ptr<sim::Link> link;  // set once the connect succeeds
  const sim::Device* device = nullptr;
  bool closed = false;
  // Releasing the last reference ends the link, as the OS does with a socket handle; nobody
  // can reach the link through this socket any more.
  ~StreamSocket() {
    if (link) link->close();
  }
};

struct InputStream {
  std::shared_ptr<sim::Link> link;
};
struct OutputStream {
  std::shared_ptr<sim::Link> link;
  const sim::Device* device = nullptr;
};

struct DataReader {
  std::shared_ptr<sim::Link> link;
  bool partial = false;
};

struct DataWriter {
  std::shared_ptr<sim::Link> link;
};

namespace {

const String serialPortUuid = u"{00001101-0000-1000-8000-00805f9b34fb}";

std::shared_ptr<sim::Link> linkOf(const Ref<StreamSocket>& socket) {
  std::lock_guard guard(socket->lock);
  if (socket->closed) throw sim::world().error(sim::objectClosed);
  if (!socket->link) throw sim::world().error(sim::illegalCall);  // not connected
  return socket->link;
}

}  // namespace

Async<Ref<BluetoothDevice>> bluetoothDeviceFromIdAsync(const String& id) {
  const sim::Device* d = sim::world().findById(id);
  return sim::completeLater<Ref<BluetoothDevice>>(
      0, d ? d->fromIdError : sim::Fault(), [d]() -> Ref<BluetoothDevice> {
        if (!d || d->fromIdNone) return nullptr;
        return std::make_shared<BluetoothDevice>(BluetoothDevice{d});
      });
}

namespace {

// What the Windows backend makes of a result's BluetoothError: HRESULT_FROM_WIN32 of
// ERROR_NOT_READY for RadioNotAvailable, of ERROR_DEVICE_NOT_CONNECTED for DeviceNotConnected.
constexpr int32_t radioNotAvailable = 1, deviceNotConnected = 3;
constexpr int32_t notReadyCode = static_cast<int32_t>(0x80070015);
constexpr int32_t notConnectedCode = static_cast<int32_t>(0x8007048F);

// As many services as the world lists for the cache mode, or its fault for that mode. The
// cache answers for a phone out of range; off air, neither does: BluetoothError in the result,
// or with `failOnError` the failure the Windows backend raises for it.
Async<Ref<RfcommDeviceServicesResult>> lookUpServices(const Ref<BluetoothDevice>& device,
                                                      bool cached, bool failOnError) {
  const sim::Device* d = device ? device->device : nullptr;
  sim::Fault fault =
      d ? (cached ? d->servicesCachedError : d->servicesUncachedError) : sim::Fault();
  uint32_t count = d ? (cached ? d->servicesCached : d->servicesUncached) : 0;
  uint64_t asked = d && !cached ? d->address : 0;
  auto empty = [failOnError](int32_t error) {
    if (failOnError)
      throw sim::world().error(error == radioNotAvailable ? notReadyCode : notConnectedCode);
    auto result = std::make_shared<RfcommDeviceServicesResult>();
    result->error = error;
    return result;
  };
  uint32_t delay = 0;
  if (asked && !sim::inRange(asked)) delay = sim::world().pageTimeoutMs, fault.reset();
  return sim::completeOnAir<Ref<RfcommDeviceServicesResult>>(
      delay, asked, fault,
      [d, count, asked, empty] {
        if (asked && !sim::inRange(asked)) return empty(deviceNotConnected);
        auto result = std::make_shared<RfcommDeviceServicesResult>();
        for (uint32_t i = 0; i < count; ++i)
          result->services.push_back(
              std::make_shared<RfcommDeviceService>(RfcommDeviceService{d, i}));
        return result;
      },
      [empty](sim::Loss loss) {
        return empty(loss == sim::Loss::offAir ? radioNotAvailable : deviceNotConnected);
      });
}

}  // namespace

Async<Ref<RfcommDeviceServicesResult>> serialPortServices(const Ref<BluetoothDevice>& device,
                                                          bool cached) {
  return lookUpServices(device, cached, true);
}

String connectionServiceName(const Ref<RfcommDeviceService>& service) {
  if (service->index == 0) return serialPortUuid;
  // Not "#" + std::to_string(...): GCC 12 at -O3 reports a false -Wrestrict on that (GCC bug
  // 105651).
  std::string index = std::to_string(service->index);
  return serialPortUuid + u'#' + String(index.begin(), index.end());
}

Ref<HostName> connectionHostName(const Ref<RfcommDeviceService>& service) {
  return std::make_shared<HostName>(HostName{service->device});
}

Ref<StreamSocket> newStreamSocket() {
  return std::make_shared<StreamSocket>();
}

// Off air it fails at once; a phone out of range leaves the page unanswered until the page
// timeout, unless it comes back meanwhile.
Async<void> connectAsync(const Ref<StreamSocket>& socket, const Ref<HostName>& host,
                         const String& serviceName) {
  const sim::Device* d = host ? host->device : nullptr;
  sim::Fault fault = d ? d->connectError : sim::Fault(sim::linkRefused);
  // Nothing listens behind the other services a phone lists.
  if (!fault && serviceName != serialPortUuid) fault = sim::linkRefused;
  uint64_t address = d ? d->address : 0;
  uint32_t delay = d ? d->connectDelayMs : 0;
  if (d && !sim::inRange(address)) delay = sim::world().pageTimeoutMs, fault.reset();
  sim::Since mark = sim::since(address);
  return sim::completeOnAir<void>(
      delay, address, fault,
      [socket, d, mark] {
        if (!sim::inRange(d->address)) throw sim::world().error(sim::pageTimeout);
        auto link = sim::Link::open(*d);
        // Gone between the check and the link's start: the link never saw it.
        if (auto loss = sim::lost(mark); loss != sim::Loss::none) {
          link->close();
          throw sim::world().error(loss == sim::Loss::offAir ? sim::networkUnreachable
                                                             : sim::pageTimeout);
        }
        std::lock_guard guard(socket->lock);
        if (socket->closed) {
          link->close();
          throw sim::world().error(sim::loadCanceled);
        }
        socket->link = std::move(link);
        socket->device = d;
      },
      [](sim::Loss loss) {
        throw sim::world().error(loss == sim::Loss::offAir ? sim::networkUnreachable
                                                           : sim::pageTimeout);
      });
}

Ref<OutputStream> socketOutputStream(const Ref<StreamSocket>& socket) {
  auto link = linkOf(socket);
  sim::raise(socket->device->outputStreamError);
  return std::make_shared<OutputStream>(OutputStream{std::move(link), socket->device});
}

Ref<InputStream> socketInputStream(const Ref<StreamSocket>& socket) {
  return std::make_shared<InputStream>(InputStream{linkOf(socket)});
}

void closeSocket(const Ref<StreamSocket>& socket) {
  std::shared_ptr<sim::Link> link;
  {
    std::lock_guard guard(socket->lock);
    socket->closed = true;
    link = socket->link;
  }
  if (link) link->close();
}

Ref<DataReader> newDataReader(const Ref<InputStream>& input) {
  return std::make_shared<DataReader>(DataReader{input->link, false});
}

void setInputStreamOptionsPartial(const Ref<DataReader>& reader) {
  reader->partial = true;
}

Async<uint32_t> loadAsync(const Ref<DataReader>& reader, uint32_t count) {
  return reader->link->load(count, reader->partial);
}

void readBytes(const Ref<DataReader>& reader, std::span<uint8_t> out) {
  reader->link->read(out);
}

Ref<DataWriter> newDataWriter(const Ref<OutputStream>& output) {
  sim::raise(output->device->writerError);
  return std::make_shared<DataWriter>(DataWriter{output->link});
}

void writeBytes(const Ref<DataWriter>& writer, std::span<const uint8_t> bytes) {
  writer->link->write(bytes);
}

Async<uint32_t> storeAsync(const Ref<DataWriter>& writer) {
  return writer->link->store();
}

}  // namespace platform

namespace sim {

platform::Async<platform::Ref<platform::RfcommDeviceServicesResult>> servicesAnswer(
    const platform::Ref<platform::BluetoothDevice>& device, bool cached) {
  return platform::lookUpServices(device, cached, false);
}

}  // namespace sim
