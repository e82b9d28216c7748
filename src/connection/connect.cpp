// The "connect" command.
#include <string>

#include "connection/connection.h"
#include "connection/connection_state.h"
#include "connection/read_loop.h"
#include "host/adapter.h"
#include "host/error_text.h"
#include "host/log.h"
#include "pairing/pairing.h"
#include "platform/platform.h"

namespace {

constexpr const char* noDeviceText =
    "Windows не видит этот телефон — включи видимость на роботе и найди заново";
constexpr const char* noServiceText =
    "телефон не предлагает последовательную службу. Открой на нём приложение робота и оставь "
    "его на экране, потом повтори";

void closeQuietly(const platform::Ref<platform::StreamSocket>& socket) {
  try {
    platform::closeSocket(socket);
  } catch (const hresult_error&) {
  }
}

// The writer over a freshly connected socket. Both references are taken before anything is
// published: if either fails, the new socket is closed and the state stays as it was.
ConnectionRef openConnection(std::string addr, platform::Ref<platform::StreamSocket> socket) {
  try {
    auto connection = std::make_shared<Connection>();
    connection->addr = std::move(addr);
    connection->activeWriter = platform::newDataWriter(platform::socketOutputStream(socket));
    connection->activeSocket = std::move(socket);
    return connection;
  } catch (const hresult_error&) {
    closeQuietly(socket);
    throw;
  }
}

void fail(Operation& connect, Code code, std::string_view text, std::string_view reason,
          std::optional<int32_t> hresult = std::nullopt) {
  // The platform may fail a connect before it tells that the adapter went; once the bridge
  // knows, that is the reason the host gets.
  if (!adapterOn()) {
    code = Code::adapterOff;
    text = adapterOffText;
    reason = adapterOffReason;
    hresult = std::nullopt;
  }
  connect.finish({.kind = Kind::connectFailed,
                  .id = connect.id,
                  .addr = connect.addr,
                  .code = code,
                  .text = text,
                  .reason = reason,
                  .hresult = hresult});
}

// The connect stays registered (the adapter may answer it) until its task ends.
struct Registration {
  OperationRef connect;
  ~Registration() { endConnect(connect); }
};

}  // namespace

platform::fire_and_forget doConnect(ConnectRequest request) {
  logLine("[connect] запрошено соединение с " + request.addr);
  auto connect = std::make_shared<Operation>(std::move(request.id), std::move(request.addr));
  const std::string& addr = connect->spelled;
  if (!startConnect(connect, request.policy)) {
    logLine("[connect] с " + addr + " уже есть соединение");
    report({.kind = Kind::error,
            .id = connect->id,
            .addr = connect->addr,
            .code = Code::alreadyConnected,
            .text = "с этим телефоном уже есть соединение или оно устанавливается"});
    co_return;
  }
  Registration registration{connect};
  if (!adapterOn()) {
    logLine("[connect] адаптер недоступен — соединение не начато");
    fail(*connect, Code::adapterOff, adapterOffText, adapterOffReason);
    co_return;
  }
  platform::String id = co_await resolveDevice(addr);
  if (id.empty()) {
    fail(*connect, Code::notVisible, noDeviceText, "нет устройства");
    co_return;
  }
  // A platform error of the connect itself is the socket's; before it, another platform call's.
  Code failure = Code::platformError;
  try {
    auto device = co_await platform::bluetoothDeviceFromIdAsync(id);
    // The id was known but the platform has no device behind it any more.
    if (!device) {
      fail(*connect, Code::notVisible, noDeviceText, "нет устройства");
      co_return;
    }
    logLine("[connect] устройство получено, ищу последовательную службу");
    auto services =
        co_await platform::getRfcommServicesForIdAsync(device, platform::rfcommSerialPortId());
    uint32_t count = platform::servicesSize(services);
    logLine("[connect] найдено служб (из кеша): " + std::to_string(count));
    if (count == 0) {
      logLine("[connect] в кеше служб нет — переспрашиваю телефон напрямую");
      services = co_await platform::getRfcommServicesForIdUncachedAsync(
          device, platform::rfcommSerialPortId());
      logLine("[connect] найдено служб (с телефона): " +
              std::to_string(platform::servicesSize(services)));
    }
    if (platform::servicesSize(services) == 0) {
      fail(*connect, Code::noSerialService, noServiceText, "нет службы SPP");
      co_return;
    }
    auto service = platform::serviceAt(services, 0);
    auto socket = platform::newStreamSocket();
    auto serviceName = platform::connectionServiceName(service);
    auto host = platform::connectionHostName(service);
    failure = Code::openFailed;
    co_await platform::connectAsync(socket, host, serviceName);
    failure = Code::platformError;

    ConnectionRef connection = openConnection(connect->addr, std::move(socket));
    logLine("[connect] сокет открыт");
    std::vector<ConnectionRef> replaced;
    if (!publishConnection(connection, connect, request.policy, replaced)) {
      // The host was told the connect failed when the adapter went away.
      logLine("[connect] соединение с " + addr + " открылось после отказа адаптера — закрываю");
      closeQuietly(connection->activeSocket);
      co_return;
    }
    // The earlier phone's socket is closed here, so its bytes never mix with the new one's.
    for (const ConnectionRef& previous : replaced) closeQuietly(previous->activeSocket);
    readLoop(std::move(connection));
  } catch (const hresult_error& e) {
    std::string text = errorText(e);
    logLine("[connect] исключение: " + text);
    fail(*connect, failure, text, "не удалось открыть соединение", e.code);
  }
}
