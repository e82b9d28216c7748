// One command line: parsed, checked as its protocol wants, and handed to its subsystem with
// the policy of that protocol. The subsystems answer through host/report.h.
#include "host/dispatch.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "connection/connection.h"
#include "discovery/scan.h"
#include "host/adapter.h"
#include "host/command.h"
#include "host/events.h"
#include "host/log.h"
#include "host/report.h"
#include "pairing/pairing.h"
#include "platform/platform.h"

namespace {

std::string quoted(std::string_view line) {
  return std::string(line.substr(0, 120));
}

// A command refused before anything was done: protocol 2's error (protocol 1 stays silent),
// and a log line for a person reading it.
void refuse(std::string_view line, std::string_view id, std::string_view addr, Code code,
            const std::string& text) {
  logLine("[cmd] отказ " + std::string(codeName(code)) + ": " + text +
          " в строке: " + quoted(line));
  report({.kind = Kind::error, .id = id, .addr = addr, .code = code, .text = text});
}

constexpr const char* badIdText = "id должен быть строкой JSON или целым числом";
constexpr const char* badAddrText =
    "addr должен быть адресом из 12 шестнадцатеричных цифр, например A4:50:46:12:34:56";

void hello(std::string_view line, CommandFields& fields, CommandId id) {
  if (id.status == IdStatus::invalid) {
    // Answered in protocol 2's form whatever is in force: the host is asking for it.
    logLine("[cmd] отказ BAD_COMMAND: " + std::string(badIdText) + " в строке: " + quoted(line));
    emitEvent(formatReport({.kind = Kind::error, .code = Code::badCommand, .text = badIdText},
                           Protocol::v2));
    return;
  }
  auto asked = parseSeconds(fields["protocol"]);
  Protocol protocol = asked == 1 ? Protocol::v1 : Protocol::v2;
  useProtocol(protocol);
  std::string note = "[cmd] говорю по протоколу " + std::to_string(static_cast<int>(protocol));
  if (asked && *asked != static_cast<int>(protocol))
    note += " (хост просил " + std::to_string(*asked) + ")";
  logLine(note);
  emitEvent(formatHello(id.text, protocol, adapterState()));
}

// The address a protocol-2 command names: nothing when the line has no "addr" (the caller
// decides whether one was needed), the canonical form, or BAD_COMMAND answered.
std::optional<std::string> address(std::string_view line, std::string_view id,
                                   const CommandFields& fields, bool& refused) {
  auto found = fields.find("addr");
  if (found == fields.end()) return std::nullopt;
  auto canonical = canonicalAddress(found->second);
  if (!canonical) {
    refuse(line, id, {}, Code::badCommand, badAddrText);
    refused = true;
  }
  return canonical;
}

void scan(std::string_view id, CommandFields& fields) {
  int32_t seconds = 8;
  if (auto parsed = parseSeconds(fields["seconds"])) seconds = *parsed;
  startScan(seconds, std::string(id));
}

void stopScan() {
  if (auto watcher = currentWatcher()) {
    try {
      platform::stopWatcher(watcher);
    } catch (...) {
    }
  }
}

void protocol1(std::string_view line, const std::string& t, CommandFields& fields) {
  if (t == "scan") {
    scan({}, fields);
  } else if (t == "stop-scan") {
    stopScan();
  } else if (t == "pair") {
    doPair({.addr = std::move(fields["addr"])});
  } else if (t == "connect") {
    doConnect({.addr = std::move(fields["addr"]), .policy = ConnectPolicy::replace});
  } else if (t == "send") {
    if (ConnectionRef connection = currentConnection())
      doSend(std::move(connection), {}, std::move(fields["b64"]),
             std::numeric_limits<size_t>::max());
  } else if (t == "disconnect") {
    doDisconnect();
  } else {
    logLine("[cmd] незнакомая команда: «" + t + "» в строке: " + quoted(line));
  }
}

// The connection a send or disconnect names, or its refusal answered.
ConnectionRef target(std::string_view line, std::string_view id, const std::string& addr) {
  Target found = findConnection(addr);
  if (found.connection) return found.connection;
  if (addr.empty() && found.open > 1)
    refuse(line, id, {}, Code::addrRequired, "открыто несколько соединений — укажи addr");
  else
    refuse(line, id, addr, Code::notConnected,
           addr.empty() ? "соединение не открыто" : "с этим телефоном нет соединения");
  return nullptr;
}

void protocol2(std::string_view line, const std::string& t, CommandFields& fields,
               CommandId commandId) {
  if (commandId.status == IdStatus::invalid) {
    refuse(line, {}, {}, Code::badCommand, badIdText);
    return;
  }
  std::string_view id = commandId.text;
  if (t == "scan") {
    scan(id, fields);
    return;
  }
  if (t == "stop-scan") {
    stopScan();
    report({.kind = Kind::ok, .id = id});
    return;
  }
  bool known = t == "pair" || t == "connect" || t == "send" || t == "disconnect";
  if (!known) {
    logLine("[cmd] незнакомая команда: «" + t + "» в строке: " + quoted(line));
    report({.kind = Kind::error,
            .id = id,
            .code = Code::badCommand,
            .text = "незнакомая команда «" + t + "»"});
    return;
  }
  bool refused = false;
  std::optional<std::string> addr = address(line, id, fields, refused);
  if (refused) return;
  if (t == "pair" || t == "connect") {
    if (!addr) {
      refuse(line, id, {}, Code::badCommand, "не указан addr");
      return;
    }
    if (t == "pair")
      doPair({.id = std::string(id), .addr = std::move(*addr)});
    else
      doConnect({.id = std::string(id), .addr = std::move(*addr), .policy = ConnectPolicy::add});
    return;
  }
  ConnectionRef connection = target(line, id, addr.value_or(""));
  if (!connection) return;
  if (t == "send") {
    doSend(std::move(connection), std::string(id), std::move(fields["b64"]), sendWindow);
  } else if (!doDisconnect(connection, id)) {
    // Closed by the phone between the look-up and now.
    refuse(line, id, connection->addr, Code::notConnected, "с этим телефоном нет соединения");
  }
}

}  // namespace

void dispatch(std::string_view line) {
  std::optional<std::string_view> rawId;
  CommandFields fields = parseCommand(line, rawId);
  const std::string t = fields["t"];
  if (t == "hello") {
    hello(line, fields, checkId(rawId));
  } else if (currentProtocol() == Protocol::v1) {
    protocol1(line, t, fields);
  } else {
    protocol2(line, t, fields, checkId(rawId));
  }
}

void endOfInput() {
  doDisconnect();
}
