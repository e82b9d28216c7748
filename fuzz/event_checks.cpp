#include "event_checks.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "answers.h"
#include "host/command.h"
#include "support/strict_json.h"

namespace event_checks {

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

answers::Ledger ledger;

bool oneOf(std::string_view value, std::initializer_list<std::string_view> set) {
  for (auto v : set)
    if (value == v) return true;
  return false;
}

// A failed connect's closed (protocol 2, with its id) must be followed by the error that
// ends the command: {id, addr}, or empty.
std::string pendingError;

// Protocol 2's promises about one event (protocol 1's lines pass: they carry no id, no code
// and no number but in hello).
void checkProtocol2(std::string_view kind, const std::vector<strict_json::Field>& fields) {
  const strict_json::Field *id = nullptr, *addr = nullptr, *code = nullptr;
  for (const auto& field : fields) {
    if (field.key == "id") id = &field;
    if (field.key == "addr") addr = &field;
    if (field.key == "code" && kind != "pairing-code") code = &field;
  }
  std::string idText;
  if (id) idText = id->quoted ? "\"" + std::string(id->value) + "\"" : std::string(id->value);
  std::string addrText = addr ? *strict_json::decodeString(addr->value) : "";

  if (!pendingError.empty()) {
    check(kind == "error" && idText + " " + addrText == pendingError);
    pendingError.clear();
  }
  if (code)
    check(code->quoted &&
          oneOf(code->value, {"BAD_COMMAND", "NOT_VISIBLE", "NO_SERIAL_SERVICE", "PAIRING_REFUSED",
                              "OPEN_FAILED", "PLATFORM_ERROR", "WRITE_FAILED", "NOT_CONNECTED",
                              "ADDR_REQUIRED", "ALREADY_CONNECTED", "BUSY", "TOO_LARGE",
                              "ADAPTER_OFF", "HOST_CLOSED", "PHONE_CLOSED", "LINK_LOST"}));
  // Lines only protocol 2 writes name a device or a link in the canonical form.
  bool second = id || code || oneOf(kind, {"sent", "ok", "adapter"}) || (kind == "data" && addr);
  if (second && addr && kind != "hello") check(canonicalAddress(addr->value) == addr->value);
  if (kind == "sent") check(addr != nullptr);

  if (oneOf(kind, {"ready", "data", "adapter"})) check(!id);
  if (!id) return;
  bool final = true;
  if (oneOf(kind, {"device", "pairing-code"})) final = false;
  if (kind == "closed") {
    // A disconnect's answer; any other closed with an id is a failed connect's first line.
    final = code && code->value == "HOST_CLOSED";
    if (!final) pendingError = idText + " " + addrText;
  }
  check(ledger.answered(idText, final));
}

void checkEvent(std::string_view line) {
  static const std::set<std::string_view> kinds = {
      "ready", "device", "scan-done", "pairing-code", "pair-result", "connected", "data",
      "error", "closed", "hello",     "ok",           "sent",        "adapter"};
  // Keys, kinds and base64 are compared as written: an escape in any of them is a fault too.
  auto fields = strict_json::flatObject(line, true);
  check(fields && !fields->empty());
  const auto& kind = fields->front();
  check(kind.key == "t" && kind.quoted && kinds.count(kind.value) == 1);
  for (const auto& field : *fields) {
    if (!field.quoted) {
      bool flag = field.value == "true" || field.value == "false";
      check(flag ? oneOf(field.key, {"paired", "ok"})
                 : field.value != "null" &&
                       oneOf(field.key, {"id", "bytes", "protocol", "window", "status"}));
    }
    if (field.key == "b64") {
      check(field.quoted && field.value.size() % 4 == 0);
      for (char c : field.value)
        check(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=');
    }
  }
  checkProtocol2(kind.value, *fields);
}

void readEvents(int fd) {
  std::string pending;
  char buffer[1 << 16];
  const char* trace = std::getenv("QUINTEL_FUZZ_EVENTS");
  std::FILE* copy = trace && *trace ? std::fopen(trace, "a") : nullptr;
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      check(n < 0 && errno == EINTR);
      continue;
    }
    if (copy) std::fwrite(buffer, 1, static_cast<size_t>(n), copy), std::fflush(copy);
    pending.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      check(end > start && pending[end - 1] == '\r');
      std::string_view line(pending.data() + start, end - 1 - start);
      check(line.find_first_of("\r\n") == std::string_view::npos);
      checkEvent(line);
    }
    pending.erase(0, start);
  }
}

}  // namespace

void start(int fd) {
  std::thread(readEvents, fd).detach();
}

void expect(std::string_view session, Protocol start) {
  ledger.expect(answers::read(session, start));
}

bool settle(std::chrono::milliseconds patience) {
  return ledger.settle(patience);
}

}  // namespace event_checks
