// The adapter under a running bridge, steered through the world's control channel: its radio
// switched off, the adapter unplugged, the Bluetooth stack restarted, or no adapter until one
// is plugged in. What was under way is answered once, commands meanwhile fail at once, and
// afterwards everything works again without a restart.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/wire.h"
#include "harness/bridge_process.h"
#include "harness/control_channel.h"

using harness::BridgeProcess;
using harness::ControlChannel;
using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::UnorderedElementsAreArray;

namespace {

using wire::ready;

const std::string phoneA = "A4:50:46:12:34:56";  // quick
const std::string phoneB = "A4:50:46:65:43:21";  // pairs slowly
const std::string phoneC = "A4:50:46:11:11:11";  // connects slowly
const std::string offText = "адаптер Bluetooth выключен или не найден — включи Bluetooth и повтори";
const std::string offReason = "адаптер Bluetooth недоступен";
// An answer that comes "at once" comes well before the slow phones' own 3 s.
constexpr auto atOnce = 1500ms;

// The events the bridge gives, in either protocol. Protocol 2 carries the command's id (the
// commands below are numbered) and the code.
struct Wire {
  bool v2;

  std::string command(const std::string& kind, int id, const std::string& rest) const {
    return R"({"t":")" + kind + '"' + (v2 ? R"(,"id":)" + std::to_string(id) : "") + rest + "}";
  }
  std::string scan(int id, int seconds) const {
    return command("scan", id, R"(,"seconds":)" + std::to_string(seconds));
  }
  std::string pair(int id, const std::string& addr) const {
    return command("pair", id, R"(,"addr":")" + addr + '"');
  }
  std::string connect(int id, const std::string& addr) const {
    return command("connect", id, R"(,"addr":")" + addr + '"');
  }
  std::string idKey(int id) const { return v2 ? R"(,"id":)" + std::to_string(id) : ""; }
  std::string offCode() const { return v2 ? R"(,"code":"ADAPTER_OFF")" : ""; }

  std::string connected(int id, const std::string& addr) const {
    return R"({"t":"connected")" + idKey(id) + R"(,"addr":")" + addr + R"("})";
  }
  // The one connection's closed event when the adapter goes.
  std::string closedByAdapter(const std::string& addr) const {
    return v2 ? R"({"t":"closed","addr":")" + addr +
                    R"(","code":"ADAPTER_OFF","reason":"соединение закрыто"})"
              : wire::closed;
  }
  std::vector<std::string> connectRefused(int id, const std::string& addr) const {
    std::string closed = R"({"t":"closed")" + idKey(id) + (v2 ? R"(,"addr":")" + addr + '"' : "") +
                         offCode() + R"(,"reason":")" + offReason + R"("})";
    std::string error = R"({"t":"error")" + idKey(id) + (v2 ? R"(,"addr":")" + addr + '"' : "") +
                        offCode() + R"(,"error":")" + offText + R"("})";
    if (v2) return {closed, error};
    return {error, closed};
  }
  std::string pairRefused(int id, const std::string& addr) const {
    return R"({"t":"pair-result")" + idKey(id) + R"(,"addr":")" + addr + R"(","ok":false)" +
           offCode() + R"(,"error":")" + offText + R"("})";
  }
  std::string scanEnded(int id) const {
    return v2 ? R"({"t":"scan-done")" + idKey(id) + offCode() + R"(,"error":")" + offText + R"("})"
              : R"({"t":"scan-done"})";
  }
  std::vector<std::string> adapter(const char* state) const {
    if (!v2) return {};
    return {std::string(R"({"t":"adapter","state":")") + state + R"("})"};
  }
};

std::string world(const ControlChannel& control, const std::string& extra = "") {
  return control.worldLine() + extra + "stack-restart-ms 300\ninquiry-unit-ms 500\n" +
         wire::world({{phoneA, "name \"A\"\n"},
                      {phoneB, "name \"B\"\n  pair-delay-ms 3000\n"},
                      {phoneC, "name \"C\"\n  connect-delay-ms 3000\n"}});
}

// Starts the bridge and, in protocol 2, says hello.
void start(BridgeProcess& bridge, const Wire& w) {
  ASSERT_EQ(bridge.nextEvent(), ready);
  if (!w.v2) return;
  bridge.send(R"({"t":"hello","protocol":2})");
  auto hello = bridge.nextEvent();
  ASSERT_TRUE(hello);
  ASSERT_THAT(*hello, HasSubstr(R"("protocol":2)"));
}

// The next `count` events, each within `within`.
std::vector<std::string> take(BridgeProcess& bridge, size_t count,
                              std::chrono::milliseconds within = 10s) {
  std::vector<std::string> events;
  while (events.size() < count) {
    auto event = bridge.nextEvent(within);
    if (!event) break;
    events.push_back(*event);
  }
  return events;
}

// Scan, pair and connect fail at once, each with its one answer.
void expectCommandsRefusedAtOnce(BridgeProcess& bridge, const Wire& w, int id) {
  bridge.send(w.scan(id, 8));
  EXPECT_EQ(bridge.nextEvent(atOnce), w.scanEnded(id));
  bridge.send(w.pair(id + 1, phoneB));
  EXPECT_EQ(bridge.nextEvent(atOnce), w.pairRefused(id + 1, phoneB));
  bridge.send(w.connect(id + 2, phoneC));
  EXPECT_EQ(take(bridge, 2, atOnce), w.connectRefused(id + 2, phoneC));
}

// Scan, pair, connect and the echo all work.
void expectEverythingWorks(BridgeProcess& bridge, const Wire& w, int id) {
  bridge.send(w.scan(id, 1));
  auto found = bridge.waitEvent(R"("addr":")" + phoneA + '"');
  ASSERT_TRUE(found) << "the scan found nothing";
  EXPECT_THAT(*found, HasSubstr(R"("t":"device")"));
  ASSERT_TRUE(bridge.waitEvent("scan-done"));
  bridge.send(w.pair(id + 1, phoneA));
  EXPECT_EQ(bridge.waitEvent("pair-result"), R"({"t":"pair-result")" + w.idKey(id + 1) +
                                                 R"(,"addr":")" + phoneA + R"(","ok":true})");
  bridge.send(w.connect(id + 2, phoneA));
  EXPECT_EQ(bridge.waitEvent("connected"), w.connected(id + 2, phoneA));
  bridge.send(wire::send("back"));
  auto echoed = bridge.waitEvent("\"data\"");
  ASSERT_TRUE(echoed);
  EXPECT_THAT(*echoed, HasSubstr(wire::base64("back")));
}

struct OutageCase {
  const char* name;
  const char* off;
  const char* on;     // nothing: the adapter comes back by itself
  const char* state;  // while it is away
  const char* logged;
};

class Outage : public testing::TestWithParam<std::tuple<OutageCase, bool>> {};

TEST_P(Outage, AnswersWhatWasUnderWayOnceRefusesMeanwhileAndWorksAgainAfter) {
  const auto& [outage, v2] = GetParam();
  const Wire w{v2};
  ControlChannel control;
  BridgeProcess bridge({.world = world(control)});
  start(bridge, w);
  bridge.send(w.connect(1, phoneA));
  ASSERT_EQ(bridge.nextEvent(), w.connected(1, phoneA));
  bridge.send(w.scan(2, 8));
  bridge.send(w.pair(3, phoneB));
  bridge.send(w.connect(4, phoneC));
  // Commands are taken in order: once this one is logged, the three are under way.
  bridge.send(R"({"t":"barrier"})");
  ASSERT_TRUE(bridge.waitLog("«barrier»"));
  if (v2) {
    ASSERT_THAT(bridge.nextEvent(), testing::Optional(HasSubstr("BAD_COMMAND")));
  }

  ASSERT_EQ(control.send(outage.off), "ok");
  // The adapter's event first, then one answer for each.
  std::vector<std::string> expected = w.adapter(outage.state);
  std::vector<std::string> answers{w.closedByAdapter(phoneA), w.pairRefused(3, phoneB),
                                   w.scanEnded(2)};
  for (auto& line : w.connectRefused(4, phoneC)) answers.push_back(line);
  auto events = take(bridge, expected.size() + answers.size(), atOnce);
  ASSERT_GE(events.size(), expected.size());
  EXPECT_EQ(std::vector(events.begin(), events.begin() + expected.size()), expected);
  EXPECT_THAT(std::vector(events.begin() + expected.size(), events.end()),
              UnorderedElementsAreArray(answers));

  if (outage.on) {
    expectCommandsRefusedAtOnce(bridge, w, 5);
    ASSERT_EQ(control.send(outage.on), "ok");
  }
  for (const auto& line : w.adapter("on")) EXPECT_EQ(bridge.nextEvent(), line);
  // Nothing of what was refused comes late, nor twice.
  EXPECT_EQ(bridge.drainEvents(), std::vector<std::string>{});
  expectEverythingWorks(bridge, w, 8);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto log = bridge.logBytes();
  EXPECT_THAT(log, HasSubstr(std::string(outage.logged) + "\r\n"));
  EXPECT_THAT(log, HasSubstr("[adapter] адаптер снова работает\r\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Outage,
    testing::Combine(testing::Values(OutageCase{"radioOff", "radio off", "radio on", "off",
                                                "[adapter] радио адаптера выключено"},
                                     OutageCase{"adapterRemoved", "adapter remove", "adapter add",
                                                "absent", "[adapter] адаптер пропал"},
                                     OutageCase{"stackRestarted", "stack restart", nullptr,
                                                "absent", "[adapter] адаптер пропал"}),
                     testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) ? "Protocol2" : "Protocol1");
    });

// Bytes that reached the bridge before the radio went off reach the host, then the link's one
// closed event.
TEST(RadioOff, DeliversWhatArrivedBeforeItThenClosesTheLinkOnce) {
  const Wire w{true};
  ControlChannel control;
  constexpr size_t burst = 4 << 20;
  BridgeProcess bridge(
      {.world = control.worldLine() +
                wire::world({{phoneA, "phone-burst " + std::to_string(burst) + "\n"}})});
  start(bridge, w);
  bridge.send(w.connect(1, phoneA));
  ASSERT_EQ(bridge.nextEvent(), w.connected(1, phoneA));
  // The burst is whole on the bridge's side once its first bytes show; the host stops
  // reading, so most of it is still to be delivered when the radio goes.
  const std::string addr = R"("addr":")" + phoneA + R"(",)";
  auto bytesOf = [&](std::string event) {
    if (size_t at = event.find(addr); at != std::string::npos) event.erase(at, addr.size());
    return wire::dataBytes(event);
  };
  auto first = bridge.nextEvent();
  ASSERT_TRUE(first && bytesOf(*first)) << first.value_or("no data");
  bridge.pauseOutput();
  ASSERT_EQ(control.send("radio off"), "ok");
  bridge.resumeOutput();

  std::string received = *bytesOf(*first);
  std::vector<std::string> others;
  for (;;) {
    auto event = bridge.nextEvent();
    ASSERT_TRUE(event) << "no closed event";
    if (*event == w.closedByAdapter(phoneA)) break;
    if (auto bytes = bytesOf(*event))
      received += *bytes;
    else
      others.push_back(*event);
  }
  EXPECT_EQ(others, w.adapter("off"));
  EXPECT_EQ(received.size(), burst);
  std::string expected(burst, '\0');
  for (size_t i = 0; i < burst; ++i) expected[i] = static_cast<char>(i % 251);
  EXPECT_TRUE(received == expected) << "the burst came out changed";
  EXPECT_EQ(bridge.drainEvents(), std::vector<std::string>{});
}

// Start-up as without the control channel; commands fail at once until an adapter is plugged
// in (or the radio switched on), then everything works.
class StartedWithout : public testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(StartedWithout, RefusesAtOnceUntilTheAdapterComesThenWorks) {
  const auto& [absent, v2] = GetParam();
  const Wire w{v2};
  ControlChannel control;
  BridgeProcess bridge({.world = world(control, absent ? "adapter absent\n" : "radio off\n")});
  start(bridge, w);
  expectCommandsRefusedAtOnce(bridge, w, 1);
  ASSERT_EQ(control.send(absent ? "adapter add" : "radio on"), "ok");
  for (const auto& line : w.adapter("on")) EXPECT_EQ(bridge.nextEvent(), line);
  expectEverythingWorks(bridge, w, 4);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto lines = bridge.logLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], absent
                          ? "[start] ВНИМАНИЕ: адаптер Bluetooth не найден — эфир опрашивать нечем"
                          : "[start] адаптер найден, classic=да");
}

INSTANTIATE_TEST_SUITE_P(Faults, StartedWithout, testing::Combine(testing::Bool(), testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Adapter" : "Radio") +
                                  (std::get<1>(info.param) ? "Protocol2" : "Protocol1");
                         });

// A probe that fails says nothing of the radio: commands work as they always did.
TEST(AdapterProbe, ThatFailsLeavesCommandsWorking) {
  ControlChannel control;
  BridgeProcess bridge({.world = world(control, "adapter error 0x80040154\n")});
  start(bridge, Wire{false});
  expectEverythingWorks(bridge, Wire{false}, 1);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

}  // namespace
