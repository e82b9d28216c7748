#include "host/report.h"

#include <atomic>
#include <cstdio>

#include "host/events.h"

#ifndef QUINTEL_VERSION
#define QUINTEL_VERSION "unknown"
#endif

namespace {

std::atomic<Protocol> protocolInForce{Protocol::v1};

// One JSON object built key by key, "t" first.
class Line {
 public:
  explicit Line(std::string_view kind) {
    text_ = R"({"t":")";
    text_ += kind;
    text_ += '"';
  }
  // A value that is JSON text already: an id, a number, a literal.
  Line& raw(std::string_view key, std::string_view json) {
    text_ += ",\"";
    text_ += key;
    text_ += "\":";
    text_ += json;
    return *this;
  }
  Line& string(std::string_view key, std::string_view value) {
    text_ += ",\"";
    text_ += key;
    text_ += "\":\"";
    text_ += jsonEscape(value);
    text_ += '"';
    return *this;
  }
  Line& id(std::string_view json) { return json.empty() ? *this : raw("id", json); }
  Line& number(std::string_view key, int64_t value) { return raw(key, std::to_string(value)); }
  Line& flag(std::string_view key, bool value) { return raw(key, value ? "true" : "false"); }
  Line& hresult(std::optional<int32_t> code) {
    if (!code) return *this;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(*code));
    return string("hresult", text);
  }
  std::string done() {
    text_ += '}';
    return std::move(text_);
  }

 private:
  std::string text_;
};

// The failure keys of protocol 2: the code, the Russian text under the key protocol 1 used,
// and what the platform gave.
Line& failure(Line& line, const Report& r, std::string_view textKey) {
  line.string("code", codeName(r.code)).string(textKey, r.text);
  if (r.status) line.number("status", *r.status);
  return line.hresult(r.hresult);
}

std::string protocol1(const Report& r) {
  std::string_view addr = r.spelled.empty() ? r.addr : r.spelled;
  switch (r.kind) {
    case Kind::device:
      return Line("device")
          .string("addr", r.addr)
          .string("name", r.text)
          .flag("paired", r.yes)
          .done();
    case Kind::scanDone:
      return Line("scan-done").done();
    case Kind::pairingCode:
      return Line("pairing-code").string("code", r.text).done();
    case Kind::pairResult: {
      Line line("pair-result");
      line.string("addr", addr).flag("ok", r.yes);
      if (!r.yes) line.string("error", r.text);
      return line.done();
    }
    case Kind::connected:
      return Line("connected").string("addr", addr).done();
    case Kind::connectFailed:
      return Line("error").string("error", r.text).done() + "\r\n" +
             Line("closed").string("reason", r.reason).done();
    case Kind::writeFailed:
      return Line("error").string("error", r.text).done();
    case Kind::closed:
      return Line("closed").string("reason", r.text).done();
    case Kind::ok:
    case Kind::sent:
    case Kind::error:
    case Kind::adapter:
      break;
  }
  return {};
}

// The event a report is in protocol 2 (a failed connect's first line is its closed event).
std::string_view kindName(Kind kind) {
  switch (kind) {
    case Kind::device:
      return "device";
    case Kind::scanDone:
      return "scan-done";
    case Kind::ok:
      return "ok";
    case Kind::pairingCode:
      return "pairing-code";
    case Kind::pairResult:
      return "pair-result";
    case Kind::connected:
      return "connected";
    case Kind::sent:
      return "sent";
    case Kind::writeFailed:
    case Kind::error:
      return "error";
    case Kind::connectFailed:
    case Kind::closed:
      return "closed";
    case Kind::adapter:
      break;
  }
  return "adapter";
}

std::string protocol2(const Report& r) {
  Line line(kindName(r.kind));
  if (r.kind == Kind::adapter) return line.string("state", r.text).done();
  line.id(r.id);
  if (!r.addr.empty()) line.string("addr", r.addr);
  switch (r.kind) {
    case Kind::device:
      line.string("name", r.text).flag("paired", r.yes);
      break;
    case Kind::scanDone:
      if (r.code != Code::none) failure(line, r, "error");
      break;
    case Kind::pairingCode:
      line.string("code", r.text);
      break;
    case Kind::pairResult:
      line.flag("ok", r.yes);
      if (!r.yes) failure(line, r, "error");
      break;
    case Kind::connectFailed: {
      // The closed event first: the error, carrying the id, is the command's final event.
      line.string("code", codeName(r.code)).string("reason", r.reason);
      Line error("error");
      error.id(r.id);
      if (!r.addr.empty()) error.string("addr", r.addr);
      return line.done() + "\r\n" + failure(error, r, "error").done();
    }
    case Kind::sent:
      line.number("bytes", static_cast<int64_t>(r.bytes));
      break;
    case Kind::writeFailed:
    case Kind::error:
      failure(line, r, "error");
      break;
    case Kind::closed:
      line.string("code", codeName(r.code)).string("reason", r.text);
      break;
    case Kind::ok:
    case Kind::connected:
    case Kind::adapter:
      break;
  }
  return line.done();
}

}  // namespace

Protocol currentProtocol() {
  return protocolInForce.load(std::memory_order_relaxed);
}

void useProtocol(Protocol protocol) {
  protocolInForce.store(protocol, std::memory_order_relaxed);
}

std::string_view codeName(Code code) {
  switch (code) {
    case Code::none:
      return "";
    case Code::badCommand:
      return "BAD_COMMAND";
    case Code::notVisible:
      return "NOT_VISIBLE";
    case Code::noSerialService:
      return "NO_SERIAL_SERVICE";
    case Code::pairingRefused:
      return "PAIRING_REFUSED";
    case Code::openFailed:
      return "OPEN_FAILED";
    case Code::platformError:
      return "PLATFORM_ERROR";
    case Code::writeFailed:
      return "WRITE_FAILED";
    case Code::notConnected:
      return "NOT_CONNECTED";
    case Code::addrRequired:
      return "ADDR_REQUIRED";
    case Code::alreadyConnected:
      return "ALREADY_CONNECTED";
    case Code::busy:
      return "BUSY";
    case Code::tooLarge:
      return "TOO_LARGE";
    case Code::adapterOff:
      return "ADAPTER_OFF";
    case Code::hostClosed:
      return "HOST_CLOSED";
    case Code::phoneClosed:
      return "PHONE_CLOSED";
    case Code::linkLost:
      return "LINK_LOST";
  }
  return "";
}

std::string formatReport(const Report& report, Protocol protocol) {
  return protocol == Protocol::v1 ? protocol1(report) : protocol2(report);
}

void report(const Report& report) {
  std::string text = formatReport(report, currentProtocol());
  if (!text.empty()) emitEvent(text);
}

void queueReport(const Report& report) {
  std::string text = formatReport(report, currentProtocol());
  if (!text.empty()) queueEvent(text);
}

std::string_view adapterStateName(platform::AdapterState state) {
  switch (state) {
    case platform::AdapterState::on:
      return "on";
    case platform::AdapterState::off:
      return "off";
    case platform::AdapterState::absent:
      break;
  }
  return "absent";
}

std::string formatHello(std::string_view id, Protocol protocol, platform::AdapterState adapter) {
  return Line("hello")
      .id(id)
      .number("protocol", static_cast<int>(protocol))
      .string("version", QUINTEL_VERSION)
      .string("backend", platform::backendKind())
      .string("adapter", adapterStateName(adapter))
      .number("window", sendWindow)
      .done();
}

std::string dataPrefix(Protocol protocol, std::string_view addr) {
  if (protocol == Protocol::v1) return R"({"t":"data","b64":")";
  return R"({"t":"data","addr":")" + jsonEscape(addr) + R"(","b64":")";
}
