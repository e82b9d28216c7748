// The "connect" command.
#include <string>

#include "connection/connection.h"
#include "connection/connection_state.h"
#include "connection/read_loop.h"
#include "host/error_text.h"
#include "host/events.h"
#include "host/log.h"
#include "pairing/pairing.h"
#include "platform/platform.h"

namespace {

constexpr const char* noDeviceEvent =
    R"({"t":"error","error":"Windows не видит этот телефон — включи видимость на роботе и найди заново"})";
constexpr const char* noDeviceClosed = R"({"t":"closed","reason":"нет устройства"})";

void closeQuietly(const platform::Ref<platform::StreamSocket>& socket) {
  try {
    platform::closeSocket(socket);
  } catch (const hresult_error&) {
  }
}

// The writer over a freshly connected socket. Both references are taken before anything is
// published: if either fails, the new socket is closed and the state stays as it was.
ConnectionRef openConnection(platform::Ref<platform::StreamSocket> socket) {
  try {
    auto connection = std::make_shared<Connection>();
    connection->activeWriter = platform::newDataWriter(platform::socketOutputStream(socket));
    connection->activeSocket = std::move(socket);
    return connection;
  } catch (const hresult_error&) {
    closeQuietly(socket);
    throw;
  }
}

}  // namespace

platform::fire_and_forget doConnect(std::string addr) {
  logLine("[connect] запрошено соединение с " + addr);
  platform::String id = co_await resolveDevice(addr);
  if (id.empty()) {
    emitEvent(noDeviceEvent);
    emitEvent(noDeviceClosed);
    co_return;
  }
  try {
    auto device = co_await platform::bluetoothDeviceFromIdAsync(id);
    // The id was known but the platform has no device behind it any more.
    if (!device) {
      emitEvent(noDeviceEvent);
      emitEvent(noDeviceClosed);
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
      emitEvent(
          R"({"t":"error","error":"телефон не предлагает последовательную службу. Открой на нём приложение робота и оставь его на экране, потом повтори"})");
      emitEvent(R"({"t":"closed","reason":"нет службы SPP"})");
      co_return;
    }
    auto service = platform::serviceAt(services, 0);
    auto socket = platform::newStreamSocket();
    auto serviceName = platform::connectionServiceName(service);
    auto host = platform::connectionHostName(service);
    co_await platform::connectAsync(socket, host, serviceName);

    ConnectionRef connection = openConnection(std::move(socket));
    // The earlier phone's socket is closed here, so its bytes never mix with the new one's.
    if (ConnectionRef previous = publishConnection(connection))
      closeQuietly(previous->activeSocket);
    logLine("[connect] сокет открыт");
    emitEvent(R"({"t":"connected","addr":")" + jsonEscape(addr) + R"("})");
    readLoop(std::move(connection));
  } catch (const hresult_error& e) {
    std::string text = errorText(e);
    logLine("[connect] исключение: " + text);
    emitEvent(R"({"t":"error","error":")" + jsonEscape(text) + R"("})");
    emitEvent(R"({"t":"closed","reason":"не удалось открыть соединение"})");
  }
}
