// RFCOMM services, sockets, readers and writers on BlueZ. The socket is the one BlueZ hands
// the backend's client profile (NewConnection) during Device1.ConnectProfile; it arrives
// non-blocking, and every wait on it is a poll on a platform thread that a close wakes.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/bluez/adapter.h"
#include "platform/bluez/agent.h"
#include "platform/bluez/bus.h"
#include "platform/bluez/discovery.h"
#include "platform/bluez/hci.h"
#include "platform/bluez/objects.h"
#include "platform/bluez/translate.h"
#include "platform/platform.h"
#include "platform/posix/services.h"

namespace platform {

namespace {

// How long a ConnectProfile may take: paging, the service search and the RFCOMM channel.
constexpr auto connectTimeout = std::chrono::seconds(60);
// How long a connect waits for the last channel to the same phone to finish closing.
constexpr auto busyPatience = std::chrono::seconds(2);

// One RFCOMM socket and the means to wake whoever waits on it.
class Channel {
 public:
  Channel(std::string device, int fd)
      : device_(std::move(device)),
        link_(bluez::parseDevicePath(device_)),
        fd_(fd),
        wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  // A link nobody holds any more is of no use: it ends with the last reference.
  ~Channel() {
    if (!closed_) ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    if (wake_ >= 0) ::close(wake_);
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  const std::string& device() const { return device_; }

  // Ends the RFCOMM link, not only this process's descriptor: BlueZ holds a copy of the
  // socket, and the link lasts as long as any copy is open. Pending waits end.
  void shut() {
    if (closed_.exchange(true)) return;
    ::shutdown(fd_, SHUT_RDWR);
    if (wake_ >= 0) {
      uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
    }
  }
  bool closed() const { return closed_; }

  // Up to out.size() bytes once there are some; 0 when the phone ended the stream; a failure
  // when the link itself was lost.
  size_t receive(std::span<uint8_t> out) {
    bool hungUp = false;
    for (;;) {
      if (closed_) throw canceled();
      ssize_t n = ::recv(fd_, out.data(), out.size(), 0);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return ended(errno);
      // The kernel reports a link's end once, to whichever call comes first; after a send took
      // it, reads find nothing for ever, and only the hang-up tells.
      if (hungUp) return ended(failure_ ? failure_.load() : ECONNRESET);
      hungUp = (await(POLLIN) & (POLLHUP | POLLERR)) != 0;
    }
  }

  // Every byte of `bytes`, or a failure.
  void sendAll(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      if (closed_) throw canceled();
      ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n >= 0) {
        bytes = bytes.subspan(static_cast<size_t>(n));
        continue;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        int expected = 0;
        failure_.compare_exchange_strong(expected, errno);
        throw errnoFailure(errno);
      }
      await(POLLOUT);
    }
  }

 private:
  static hresult_error canceled() { return bluez::errnoError(ECANCELED); }
  static hresult_error errnoFailure(int error) { return bluez::errnoError(error); }

  // A reset is how the kernel reports both the phone closing its socket and the link dropping
  // (the phone switched off or its radio turned off). The ACL link tells them apart: it outlives
  // a closed channel by seconds, while a dropped link is gone by the time the socket hears of it.
  // A link that ended because the bridge's own adapter went off or away waits for the adapter's
  // news, so that the host hears why; the stack ends the links before it says so.
  size_t ended(int error) {
    if (error == ENOTCONN) return 0;
    if (error == ECONNRESET && (!link_ || bluez::aclUp(link_->controller, link_->address)))
      return 0;
    if (error == ECONNABORTED)
      bluez::awaitAdapterLeavesOn(bluez::adapterNewsPatience);
    else
      bluez::awaitAdapterNews(device_);
    throw errnoFailure(error);
  }

  // The poll's events on the socket (0 when woken by a close).
  short await(short events) {
    pollfd fds[2] = {{fd_, events, 0}, {wake_, POLLIN, 0}};
    while (::poll(fds, wake_ >= 0 ? 2 : 1, -1) < 0 && errno == EINTR) {
    }
    return fds[0].revents;
  }

  std::string device_;
  std::optional<bluez::DevicePathParts> link_;
  int fd_;
  int wake_;
  std::atomic<bool> closed_{false};
  std::atomic<int> failure_{0};  // the first failed send's errno
};

}  // namespace

struct RfcommDeviceService {
  std::string path;
  // The link a service discovery through ConnectProfile opened, for the connect to take.
  std::shared_ptr<Channel> opened;
};

struct HostName {
  std::string path;
  std::shared_ptr<Channel> opened;
};

struct StreamSocket {
  std::mutex lock;  // guards channel and closed
  std::shared_ptr<Channel> channel;
  bool closed = false;
  // Releasing the last reference ends the link, as the OS does with a socket handle.
  ~StreamSocket() {
    if (channel) channel->shut();
  }
};

struct InputStream {
  std::shared_ptr<Channel> channel;
};

struct OutputStream {
  std::shared_ptr<Channel> channel;
};

struct DataReader {
  std::shared_ptr<Channel> channel;
  std::mutex lock;  // guards loaded
  std::vector<uint8_t> loaded;
};

struct DataWriter {
  std::shared_ptr<Channel> channel;
  std::mutex lock;  // guards pending
  std::vector<uint8_t> pending;
};

namespace {

const String serialPortServiceName = u"{00001101-0000-1000-8000-00805f9b34fb}";

// Channels the backend holds, by device, for BlueZ's RequestDisconnection.
struct OpenChannels {
  std::mutex lock;
  std::multimap<std::string, std::weak_ptr<Channel>> channels;
};

OpenChannels& openChannels() {
  static auto* instance = [] {
    auto* created = new OpenChannels;
    // Runs on the dispatch thread; shutting a socket down never blocks.
    bluez::onDisconnectionRequested([created](const std::string& device) {
      std::vector<std::shared_ptr<Channel>> toShut;
      {
        std::lock_guard guard(created->lock);
        auto [first, last] = created->channels.equal_range(device);
        for (auto it = first; it != last; ++it)
          if (auto channel = it->second.lock()) toShut.push_back(std::move(channel));
      }
      for (const auto& channel : toShut) channel->shut();
    });
    return created;
  }();
  return *instance;
}

void remember(const std::shared_ptr<Channel>& channel) {
  auto& open = openChannels();
  std::lock_guard guard(open.lock);
  std::erase_if(open.channels, [](const auto& entry) { return entry.second.expired(); });
  open.channels.emplace(channel->device(), channel);
}

// Asks BlueZ to connect the client profile to the device's serial port: BlueZ searches the
// device's records for it (browsing all of them first when it never has), opens the RFCOMM
// channel and hands the socket over in NewConnection before the call returns.
std::shared_ptr<Channel> openProfile(const std::string& path) {
  // A connect sent while the same phone is still pairing, or about to (a pair asked first), would
  // meet the pairing's link in the making ("busy"), or page a phone that demands authentication
  // with no pairing of ours to answer it; it waits for the pairing's verdict instead.
  bluez::awaitPairing(path, connectTimeout);
  bluez::ensureProfile();
  // A socket left over from a connect that gave up is no answer to this one.
  if (int stale = bluez::takeHandedOverSocket(path); stale >= 0) ::close(stale);
  // The kernel refuses a new channel to a phone while the last one to it is still closing
  // ("busy"), for a fraction of a second after a disconnect; a reconnect waits that out.
  // A pairing of the phone that began meanwhile makes the connect fail with it; once more after
  // its verdict.
  bool again = true;
  for (auto until = std::chrono::steady_clock::now() + busyPatience;;) {
    try {
      // A pairing asked for meanwhile waits for this call to return, not for the whole connect.
      auto inFlight = bluez::connectingTo(path);
      bluez::proxy(path)
          .callMethod("ConnectProfile")
          .onInterface(bluez::deviceInterface)
          .withTimeout(connectTimeout)
          .withArguments(std::string(bluez::serialPortUuid));
      break;
    } catch (const sdbus::Error& e) {
      if (std::exchange(again, false) && bluez::awaitPairing(path, connectTimeout)) continue;
      if (e.getMessage() != "br-connection-busy" || std::chrono::steady_clock::now() > until) {
        bluez::awaitAdapterNews(path, e);
        throw;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  int fd = bluez::takeHandedOverSocket(path);
  // BlueZ answers a ConnectProfile for a profile already connected with success and no new
  // socket: the link this process holds to the phone is the only one.
  if (fd < 0)
    throw hresult_error{bluez::errorMeaning("org.bluez.Error.AlreadyConnected").code,
                        u"Already Connected"};
  auto channel = std::make_shared<Channel>(path, fd);
  remember(channel);
  return channel;
}

// The answers of a ConnectProfile that mean the device has no such service.
bool meansNoService(const sdbus::Error& error) {
  const std::string& name = error.getName();
  return name == "org.bluez.Error.NotAvailable" || name == "org.bluez.Error.DoesNotExist" ||
         name == "org.bluez.Error.NotSupported" || name == "org.bluez.Error.ProfileUnavailable";
}

}  // namespace

// The serial port when the device's UUIDs list it; uncached, else what a service discovery
// finds.
Async<Ref<RfcommDeviceServicesResult>> serialPortServices(const Ref<BluetoothDevice>& device,
                                                          bool cached) {
  return bluez::onPlatformThread<Ref<RfcommDeviceServicesResult>>([path = device->path, cached] {
    auto result = std::make_shared<RfcommDeviceServicesResult>();
    auto uuids = bluez::value<std::vector<std::string>>(bluez::deviceProperties(path), "UUIDs");
    if (bluez::offersSerialPort(uuids)) {
      result->services.push_back(
          std::make_shared<RfcommDeviceService>(RfcommDeviceService{path, nullptr}));
    } else if (!cached) {
      // BlueZ has no call that only repeats a service discovery; ConnectProfile is the one
      // that makes it search the device's records, and its link is kept for the connect.
      try {
        result->services.push_back(
            std::make_shared<RfcommDeviceService>(RfcommDeviceService{path, openProfile(path)}));
      } catch (const sdbus::Error& e) {
        if (!meansNoService(e)) throw;
      }
    }
    return result;
  });
}

namespace {

std::shared_ptr<Channel> channelOf(const Ref<StreamSocket>& socket) {
  std::lock_guard guard(socket->lock);
  if (socket->closed) throw bluez::errnoError(EBADF);
  if (!socket->channel) throw bluez::errnoError(ENOTCONN);
  return socket->channel;
}

}  // namespace

Async<Ref<BluetoothDevice>> bluetoothDeviceFromIdAsync(const String& id) {
  return bluez::onPlatformThread<Ref<BluetoothDevice>>([id = toUtf8(id)]() -> Ref<BluetoothDevice> {
    std::string path = bluez::findDevice(id);
    if (path.empty()) return nullptr;
    return std::make_shared<BluetoothDevice>(BluetoothDevice{path});
  });
}

String connectionServiceName(const Ref<RfcommDeviceService>&) {
  return serialPortServiceName;
}

Ref<HostName> connectionHostName(const Ref<RfcommDeviceService>& service) {
  return std::make_shared<HostName>(HostName{service->path, service->opened});
}

Ref<StreamSocket> newStreamSocket() {
  return std::make_shared<StreamSocket>();
}

Async<void> connectAsync(const Ref<StreamSocket>& socket, const Ref<HostName>& host,
                         const String& serviceName) {
  // Only the serial port has the client profile behind it.
  if (serviceName != serialPortServiceName)
    return Async<void>::failed(bluez::errnoError(EPROTONOSUPPORT));
  return bluez::onPlatformThread<void>([socket, host] {
    // A link the service discovery opened serves one connect; later ones open their own.
    auto channel = std::exchange(host->opened, nullptr);
    if (!channel || channel->closed()) channel = openProfile(host->path);
    std::lock_guard guard(socket->lock);
    if (socket->closed) {
      channel->shut();
      throw bluez::errnoError(ECANCELED);
    }
    socket->channel = std::move(channel);
  });
}

Ref<OutputStream> socketOutputStream(const Ref<StreamSocket>& socket) {
  return std::make_shared<OutputStream>(OutputStream{channelOf(socket)});
}

Ref<InputStream> socketInputStream(const Ref<StreamSocket>& socket) {
  return std::make_shared<InputStream>(InputStream{channelOf(socket)});
}

void closeSocket(const Ref<StreamSocket>& socket) {
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard guard(socket->lock);
    socket->closed = true;
    channel = socket->channel;
  }
  if (channel) channel->shut();
}

Ref<DataReader> newDataReader(const Ref<InputStream>& input) {
  auto reader = std::make_shared<DataReader>();
  reader->channel = input->channel;
  return reader;
}

// Loads always complete with what is there: a socket gives what it has.
void setInputStreamOptionsPartial(const Ref<DataReader>&) {}

Async<uint32_t> loadAsync(const Ref<DataReader>& reader, uint32_t count) {
  return bluez::onPlatformThread<uint32_t>([reader, count] {
    std::vector<uint8_t> buffer(count);
    size_t n = reader->channel->receive(buffer);
    std::lock_guard guard(reader->lock);
    reader->loaded.insert(reader->loaded.end(), buffer.begin(), buffer.begin() + n);
    return static_cast<uint32_t>(n);
  });
}

void readBytes(const Ref<DataReader>& reader, std::span<uint8_t> out) {
  std::lock_guard guard(reader->lock);
  if (out.size() > reader->loaded.size()) throw posix::outOfBounds();
  std::copy_n(reader->loaded.begin(), out.size(), out.begin());
  reader->loaded.erase(reader->loaded.begin(), reader->loaded.begin() + out.size());
}

Ref<DataWriter> newDataWriter(const Ref<OutputStream>& output) {
  auto writer = std::make_shared<DataWriter>();
  writer->channel = output->channel;
  return writer;
}

void writeBytes(const Ref<DataWriter>& writer, std::span<const uint8_t> bytes) {
  std::lock_guard guard(writer->lock);
  writer->pending.insert(writer->pending.end(), bytes.begin(), bytes.end());
}

Async<uint32_t> storeAsync(const Ref<DataWriter>& writer) {
  std::vector<uint8_t> bytes;
  {
    std::lock_guard guard(writer->lock);
    bytes.swap(writer->pending);
  }
  return bluez::onPlatformThread<uint32_t>([channel = writer->channel, bytes = std::move(bytes)] {
    channel->sendAll(bytes);
    return static_cast<uint32_t>(bytes.size());
  });
}

}  // namespace platform
