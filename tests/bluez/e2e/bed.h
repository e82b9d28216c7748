#pragma once
// What the end-to-end tests on the BlueZ bed need beside the harness: the phones' addresses and
// what each phone saw, from the files the bed keeps in QUINTEL_BED_DIR (docs/bluez.md), and the
// command and event texts these tests share.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/wire.h"
#include "harness/bridge_process.h"

namespace bed {

using namespace std::chrono_literals;

inline std::string dir() {
  const char* d = std::getenv("QUINTEL_BED_DIR");
  return d ? d : "";
}

inline std::string fileText(const std::string& name) {
  std::ifstream in(dir() + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The phones' addresses in phone order (phones.ready: one "address" for the bridge, then one
// per phone).
inline std::vector<std::string> addresses() {
  std::string text = fileText("phones.ready");
  std::regex address(R"re("address"\s*:\s*"([0-9A-F:]{17})")re");
  std::vector<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), address), end; it != end; ++it)
    found.push_back((*it)[1]);
  if (!found.empty()) found.erase(found.begin());  // the bridge's own
  return found;
}

// Phone i's address (from 1).
inline std::string phone(size_t i) {
  auto all = addresses();
  return i >= 1 && i <= all.size() ? all[i - 1] : std::string();
}

// What phone i logged (one line per event) and every byte it received.
inline std::string events(size_t i) {
  return fileText("phone" + std::to_string(i) + ".events");
}
inline std::string received(size_t i) {
  return fileText("phone" + std::to_string(i) + ".rx");
}

// Waits until phone i's events hold `needle`.
inline bool waitPhoneEvent(size_t i, const std::string& needle, std::chrono::milliseconds timeout) {
  auto until = std::chrono::steady_clock::now() + timeout;
  while (events(i).find(needle) == std::string::npos) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// Runs a shell command in the guest; what it wrote (standard error too).
inline std::string shell(const std::string& command) {
  std::string text;
  if (FILE* p = ::popen((command + " 2>&1").c_str(), "r")) {
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, p)) text.append(buffer, n);
    ::pclose(p);
  }
  return text;
}

// The bridge's controller's links (hcitool con), as text.
inline std::string links() {
  return shell("hcitool -i hci0 con");
}

// Makes BlueZ drop what it knows of device `addr` on controller `hci`, as it does by itself with
// one neither paired nor connected some 30 s after the discovery that found it.
inline std::string forget(const std::string& addr, const std::string& hci = "hci0") {
  std::string path = "/org/bluez/" + hci + "/dev_" + addr;
  for (auto& c : path)
    if (c == ':') c = '_';
  return shell("dbus-send --system --print-reply --dest=org.bluez /org/bluez/" + hci +
               " org.bluez.Adapter1.RemoveDevice objpath:" + path);
}

// Waits until the bridge's controller has no link to `addr`; how long that took, or nothing.
inline std::optional<std::chrono::milliseconds> waitLinkGone(const std::string& addr,
                                                             std::chrono::milliseconds timeout) {
  auto start = std::chrono::steady_clock::now();
  while (links().find(addr) != std::string::npos) {
    if (std::chrono::steady_clock::now() - start > timeout) return std::nullopt;
    std::this_thread::sleep_for(100ms);
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

// Waits until the bridge's controller has no link at all.
inline bool waitNoLinks(std::chrono::milliseconds timeout) {
  auto until = std::chrono::steady_clock::now() + timeout;
  while (links().find("ACL") != std::string::npos) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

// Skips the bed's tests when not run inside the bed.
#define REQUIRE_BED()                                                              \
  do {                                                                             \
    if (bed::dir().empty() || bed::addresses().empty())                            \
      GTEST_SKIP() << "needs the BlueZ bed: tests/bluez/vm-run.sh -- <this test>"; \
  } while (0)

inline const std::string ready = R"({"t":"ready","backend":"bluez"})";
inline const std::string scanDone = R"({"t":"scan-done"})";

inline std::string command(const std::string& t, const std::string& key, const std::string& value) {
  return R"({"t":")" + t + R"(",")" + key + R"(":")" + value + "\"}";
}
inline std::string pair(const std::string& addr) {
  return command("pair", "addr", addr);
}
inline std::string connect(const std::string& addr) {
  return command("connect", "addr", addr);
}
inline std::string device(const std::string& addr, const std::string& name, bool paired) {
  return R"({"t":"device","addr":")" + addr + R"(","name":")" + name + R"(","paired":)" +
         (paired ? "true" : "false") + "}";
}
inline std::string paired(const std::string& addr) {
  return R"({"t":"pair-result","addr":")" + addr + R"(","ok":true})";
}
inline std::string refused(const std::string& addr, int status) {
  return R"({"t":"pair-result","addr":")" + addr +
         R"(","ok":false,"error":"сопряжение не состоялось (код )" + std::to_string(status) +
         R"() — подтвердили ли на телефоне?"})";
}
inline std::string notVisible(const std::string& addr) {
  return R"({"t":"pair-result","addr":")" + addr +
         R"(","ok":false,"error":"Windows не видит этот телефон — включи видимость на роботе )"
         R"(и найди заново"})";
}
inline std::string connected(const std::string& addr) {
  return R"({"t":"connected","addr":")" + addr + R"("})";
}

// Starts the bridge and takes its ready event.
inline void start(harness::BridgeProcess& bridge) {
  auto first = bridge.nextEvent(20s);
  ASSERT_EQ(first, ready);
}

// Sends `bytes` and collects data events until as many bytes came back (or `timeout`).
inline std::string echo(harness::BridgeProcess& bridge, const std::string& bytes,
                        std::chrono::milliseconds timeout = 30s) {
  bridge.send(wire::send(bytes));
  std::string back;
  auto until = std::chrono::steady_clock::now() + timeout;
  while (back.size() < bytes.size() && std::chrono::steady_clock::now() < until) {
    auto event = bridge.nextEvent(1s);
    if (!event) continue;
    auto data = wire::dataBytes(*event);
    if (!data) {
      ADD_FAILURE() << "unexpected event while echoing: " << *event;
      break;
    }
    back += *data;
  }
  return back;
}

// The bridge as the fault tests start it: kept to the bed's own adapter, so that while hci0 is
// away it does not take a phone's controller for its own.
inline harness::Options ownAdapter() {
  harness::Options options;
  options.env = {"QUINTEL_BT_ADAPTER=00:AA:01:00:00:00"};
  return options;
}

// Switches to protocol 2 and checks the answer's backend and adapter.
inline void hello(harness::BridgeProcess& bridge, const std::string& adapter = "on") {
  bridge.send(R"({"t":"hello","protocol":2})");
  auto answer = bridge.nextEvent(10s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->rfind(R"({"t":"hello","protocol":2,)", 0), 0u) << *answer;
  EXPECT_NE(answer->find(R"("backend":"bluez","adapter":")" + adapter + "\""), std::string::npos)
      << *answer;
}

using Clock = std::chrono::steady_clock;

// One bedctl action: when it was issued (the fault's moment) and when it had taken effect, on the
// clock of steady_clock.
struct Fault {
  bool ok = false;
  Clock::time_point at, done;
  std::string line;
};

inline Clock::time_point monotonic(const std::string& line, const std::string& key) {
  auto at = line.find(" " + key + "=");
  double seconds = at == std::string::npos ? 0 : std::atof(line.c_str() + at + key.size() + 2);
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
}

// Skips a test that needs the bed's faults when the bed has no bedctl.
#define REQUIRE_BEDCTL()                                                      \
  do {                                                                        \
    REQUIRE_BED();                                                            \
    if (bed::shell("command -v bedctl").empty()) GTEST_SKIP() << "no bedctl"; \
  } while (0)

inline Fault bedctl(const std::string& args) {
  Fault fault;
  int status = -1;
  if (FILE* p = ::popen(("bedctl " + args + " 2>&1").c_str(), "r")) {
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, p)) fault.line.append(buffer, n);
    status = ::pclose(p);
  }
  fault.ok = status == 0;
  fault.at = monotonic(fault.line, "at");
  fault.done = monotonic(fault.line, "done");
  EXPECT_TRUE(fault.ok) << "bedctl " << args << ": " << fault.line;
  return fault;
}

inline double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// A protocol-2 data event's address and bytes.
struct Data {
  std::string addr, bytes;
};
inline std::optional<Data> data2(const std::string& event) {
  static constexpr std::string_view head = R"({"t":"data","addr":")", middle = R"(","b64":")";
  const size_t addrAt = head.size(), b64At = addrAt + 17 + middle.size();
  if (event.size() < b64At + 2 || event.compare(0, head.size(), head) != 0 ||
      event.compare(addrAt + 17, middle.size(), middle) != 0 ||
      event.compare(event.size() - 2, 2, "\"}") != 0)
    return std::nullopt;
  auto bytes = wire::unbase64(std::string_view(event).substr(b64At, event.size() - 2 - b64At));
  if (!bytes) return std::nullopt;
  return Data{event.substr(addrAt, 17), std::move(*bytes)};
}

}  // namespace bed
