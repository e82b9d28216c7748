#include "connection/read_loop.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "connection/base64.h"
#include "host/events.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t loadSize = 4096;
constexpr std::string_view dataPrefix = R"({"t":"data","b64":")";
constexpr std::string_view dataSuffix = R"("})";

}  // namespace

platform::fire_and_forget readLoop(ConnectionRef connection) {
  // A disconnect may already have emptied the state between publication and this step.
  if (isCurrentConnection(connection)) {
    try {
      auto reader = platform::newDataReader(platform::socketInputStream(connection->activeSocket));
      platform::setInputStreamOptionsPartial(reader);
      std::vector<uint8_t> buffer(loadSize);  // reused: one load at a time
      // The event is built in place in one buffer of the largest size, which keeps its prefix
      // across loads: no allocation, fill or copy per event.
      std::string event(dataPrefix);
      event.resize(dataPrefix.size() + base64Length(loadSize) + dataSuffix.size());
      while (isCurrentConnection(connection)) {
        uint32_t n = co_await platform::loadAsync(reader, loadSize);
        if (n == 0) break;
        platform::readBytes(reader, std::span(buffer.data(), n));
        base64EncodeInto(std::span<const uint8_t>(buffer.data(), n), &event[dataPrefix.size()]);
        size_t length = dataPrefix.size() + base64Length(n);
        std::memcpy(&event[length], dataSuffix.data(), dataSuffix.size());
        std::string_view text(event.data(), length + dataSuffix.size());
        if (!emitFor(*connection, text)) break;
      }
    } catch (const platform::hresult_error&) {
      // A closed socket, a dropped link and a remote close all end the loop alike.
    }
  }
  endConnection(connection);
}
