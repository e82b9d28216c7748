#include "connection/read_loop.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "connection/base64.h"
#include "host/report.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t loadSize = 4096;

// One data event's text, built in place: the prefix stays across loads, so an event costs no
// allocation, fill or copy beyond the base64 text itself.
class DataEvent {
 public:
  explicit DataEvent(const std::string& addr) : addr_(addr) { prepare(currentProtocol()); }

  std::string_view encode(std::span<const uint8_t> bytes) {
    // A hello may switch the protocol between two loads.
    if (Protocol now = currentProtocol(); now != protocol_) prepare(now);
    base64EncodeInto(bytes, &text_[prefix_]);
    size_t length = prefix_ + base64Length(bytes.size());
    std::memcpy(&text_[length], dataSuffix.data(), dataSuffix.size());
    return std::string_view(text_.data(), length + dataSuffix.size());
  }

 private:
  void prepare(Protocol protocol) {
    protocol_ = protocol;
    text_ = dataPrefix(protocol, addr_);
    prefix_ = text_.size();
    text_.resize(prefix_ + base64Length(loadSize) + dataSuffix.size());
  }

  const std::string& addr_;
  Protocol protocol_{};
  std::string text_;
  size_t prefix_ = 0;
};

}  // namespace

platform::fire_and_forget readLoop(ConnectionRef connection) {
  Code why = Code::phoneClosed;
  // A disconnect may already have taken the connection between publication and this step.
  if (connection->open) {
    try {
      auto reader = platform::newDataReader(platform::socketInputStream(connection->activeSocket));
      platform::setInputStreamOptionsPartial(reader);
      std::vector<uint8_t> buffer(loadSize);  // reused: one load at a time
      DataEvent event(connection->addr);
      while (connection->open) {
        connection->loading = true;
        uint32_t n = co_await platform::loadAsync(reader, loadSize);
        connection->loading = false;
        if (n == 0) break;
        platform::readBytes(reader, std::span(buffer.data(), n));
        if (!emitFor(*connection, event.encode(std::span<const uint8_t>(buffer.data(), n)))) break;
      }
    } catch (const platform::hresult_error&) {
      // A closed socket and a dropped link end the loop alike; a disconnect's closed event
      // says the host closed it.
      why = Code::linkLost;
    }
  }
  endConnection(connection, why);
}
