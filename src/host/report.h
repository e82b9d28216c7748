#pragma once
// What happened, as fields, and the one place that writes it as a line of the protocol the
// host speaks. Discovery, pairing and connection report here and never format a line.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

// Protocol 1 until the host says hello; a hello may switch at any point. Every line is
// written in the protocol in force when it is written.
enum class Protocol : uint8_t { v1 = 1, v2 = 2 };
Protocol currentProtocol();
void useProtocol(Protocol protocol);

// Bytes accepted for one connection but not yet stored, at most (protocol 2).
inline constexpr size_t sendWindow = 1u << 20;

// Why a command failed or a connection closed: the stable codes of protocol 2.
enum class Code : uint8_t {
  none,
  badCommand,
  notVisible,
  noSerialService,
  pairingRefused,
  openFailed,
  platformError,
  writeFailed,
  notConnected,
  addrRequired,
  alreadyConnected,
  busy,
  tooLarge,
  adapterOff,
  hostClosed,
  phoneClosed,
  linkLost,
};
std::string_view codeName(Code code);

enum class Kind : uint8_t {
  device,
  scanDone,     // `code` and `text` when the scan could not run
  ok,           // protocol 2 only: a command with nothing else to say is done
  pairingCode,  // `text`: the PIN
  pairResult,   // `yes`: paired; else `code`, `text`, maybe `status` and `hresult`
  connected,
  connectFailed,  // `code`, `text` (the error) and `reason` (the closed event's)
  sent,           // protocol 2 only: `bytes` of one send are stored
  writeFailed,    // the platform failed a store: `text`, maybe `hresult`
  error,          // a failure protocol 1 kept silent about: `code`, `text`
  closed,         // `code` why, `text` the reason
  adapter,        // protocol 2 only: `text` the adapter's state
};

struct Report {
  Kind kind;
  std::string_view id = {};    // the command's "id" as the host wrote it (JSON text), or empty
  std::string_view addr = {};  // the device's or the link's address, canonical
  // Protocol 1 gives an address back as its command wrote it; empty: as `addr`.
  std::string_view spelled = {};
  Code code = Code::none;
  std::string_view text = {};    // error, reason, PIN, device name or adapter state
  std::string_view reason = {};  // connectFailed only
  std::optional<int32_t> hresult = {};
  std::optional<int32_t> status = {};
  bool yes = false;  // pair-result's ok, device's paired
  uint64_t bytes = 0;
};

// The report's line(s) in `protocol`, without the final CR LF (two lines are joined by one);
// empty when the protocol has nothing to say.
std::string formatReport(const Report& report, Protocol protocol);

// Writes the report in the current protocol; queueReport only queues it (see queueEvent).
void report(const Report& report);
void queueReport(const Report& report);

// The answer to hello.
std::string formatHello(std::string_view id, Protocol protocol, platform::AdapterState adapter);
std::string_view adapterStateName(platform::AdapterState state);

// The fixed start of a data event on the link to `addr`; the base64 text and `"}` follow.
std::string dataPrefix(Protocol protocol, std::string_view addr);
inline constexpr std::string_view dataSuffix = R"("})";
