// Protocol 2 seen by a host: hello, ids written back on every answer, one final event per
// command, and every code of the table, through the real executable.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/wire.h"
#include "harness/bridge_process.h"

using harness::BridgeProcess;
using namespace std::chrono_literals;
using wire::addrMember;
using wire::command;
using wire::fields;
using wire::jsonString;

namespace {

const std::string phoneA = "A4:50:46:12:34:56";
const std::string phoneB = "A4:50:46:65:43:21";
const std::string unknown = "00:11:22:33:44:55";

// A bridge that has said hello in protocol 2.
void greet(BridgeProcess& bridge) {
  ASSERT_EQ(bridge.nextEvent(), wire::ready);
  bridge.send(wire::hello());
  auto hello = bridge.nextEvent();
  ASSERT_TRUE(hello);
  ASSERT_EQ(fields(*hello)["protocol"], "2") << *hello;
}

// ---- hello -------------------------------------------------------------------------------

TEST(Protocol2Hello, AnswersWithTheProtocolItWillSpeakAndWhatAHostNeedsToKnow) {
  struct Case {
    std::string line;
    std::string protocol;
    std::string id;
  };
  const Case cases[] = {
      {R"({"t":"hello","protocol":2})", "2", ""},
      {R"({"t":"hello","protocol":3,"id":"h"})", "2", R"("h")"},
      {R"({"t":"hello","id":-1})", "2", "-1"},
      {R"({"t":"hello","protocol":1,"id":7})", "1", "7"},
  };
  for (const Case& c : cases) {
    BridgeProcess bridge;
    ASSERT_EQ(bridge.nextEvent(), wire::ready);
    bridge.send(c.line);
    auto answer = bridge.nextEvent();
    ASSERT_TRUE(answer) << c.line;
    auto f = fields(*answer);
    EXPECT_EQ(f["t"], R"("hello")") << *answer;
    EXPECT_EQ(f["protocol"], c.protocol) << *answer;
    EXPECT_EQ(f.count("id") ? f["id"] : "", c.id) << *answer;
    EXPECT_THAT(f["version"], testing::MatchesRegex(R"("[0-9]+\.[0-9]+\.[0-9]+")")) << *answer;
    EXPECT_THAT(f["backend"], testing::AnyOf(R"("sim")", R"("windows")", R"("bluez")"));
    EXPECT_EQ(f["adapter"], R"("on")");
    EXPECT_EQ(f["window"], "1048576");
  }
}

TEST(Protocol2Hello, SwitchesAtAnyPointAndEachLineFollowsTheProtocolInForce) {
  BridgeProcess bridge({.world = wire::world({{phoneA, "phone echo\n"}})});
  greet(bridge);
  bridge.send(command("connect", "1", addrMember(phoneA)));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"connected","id":1,"addr":"A4:50:46:12:34:56"})");
  bridge.send(command("send", "2", R"("b64":"QUJD")"));
  EXPECT_THAT(
      bridge.drainEvents(),
      testing::UnorderedElementsAre(R"({"t":"data","addr":"A4:50:46:12:34:56","b64":"QUJD"})",
                                    R"({"t":"sent","id":2,"addr":"A4:50:46:12:34:56","bytes":3})"));
  // Back to protocol 1 with the connection open: its lines lose ids, codes and addresses.
  bridge.send(wire::hello(1));
  ASSERT_TRUE(bridge.waitEvent(R"("protocol":1)"));
  bridge.send(wire::send("ABC"));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"QUJD"})");
  bridge.send(R"({"t":"bogus","id":1})");
  bridge.send(wire::disconnect);
  EXPECT_EQ(bridge.nextEvent(), wire::closed);
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(Protocol2Hello, WithAnIdOfAnotherTypeIsABadCommandAndSwitchesNothing) {
  BridgeProcess bridge;
  ASSERT_EQ(bridge.nextEvent(), wire::ready);
  bridge.send(R"({"t":"hello","protocol":2,"id":true})");
  auto answer = bridge.nextEvent();
  ASSERT_TRUE(answer);
  auto f = fields(*answer);
  EXPECT_EQ(f["t"], R"("error")");
  EXPECT_EQ(f["code"], R"("BAD_COMMAND")");
  EXPECT_EQ(f.count("id"), 0u);
  // Still protocol 1: an unknown line is only logged.
  bridge.send(R"({"t":"bogus","id":1})");
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
}

// ---- ids and final events ------------------------------------------------------------------

// Every event carrying `id`, from now until the one of kind `final`.
std::vector<std::string> answerTo(BridgeProcess& bridge, const std::string& id,
                                  const std::string& final) {
  std::vector<std::string> answer;
  while (auto e = bridge.nextEvent()) {
    auto f = fields(*e);
    EXPECT_FALSE(f.empty()) << "not one flat JSON object: " << *e;
    if (f["id"] != id) continue;
    answer.push_back(f["t"]);
    if (f["t"] == jsonString(final)) break;
  }
  return answer;
}

TEST(Protocol2Ids, EveryAnswerCarriesItsCommandsIdAsWrittenAndEndsWithOneFinalEvent) {
  BridgeProcess bridge({.world = wire::world({{phoneA, "pin \"0042\"\nphone echo\n"},
                                              {phoneB, "pair-status 19\n"}})});
  greet(bridge);
  using Events = std::vector<std::string>;
  struct Step {
    std::string t, id, more, final;
    Events events;  // the kinds carrying the id, in order, the final one last
  };
  const std::string device = R"("device")";
  const Step steps[] = {
      {"scan", "1", R"("seconds":1)", "scan-done", {device, device, R"("scan-done")"}},
      {"stop-scan", R"("s\"\\\u00e9")", "", "ok", {R"("ok")"}},
      {"pair", "-5", addrMember(phoneA), "pair-result", {R"("pairing-code")", R"("pair-result")"}},
      {"pair",
       R"("r")",
       addrMember("a4-50-46-65-43-21"),
       "pair-result",
       {R"("pairing-code")", R"("pair-result")"}},
      {"connect", R"("")", addrMember(unknown), "error", {R"("closed")", R"("error")"}},
      {"connect", R"("c")", addrMember("a45046123456"), "connected", {R"("connected")"}},
      {"send", "12345678901234567890", R"("b64":"QUJD")", "sent", {R"("sent")"}},
      {"send", R"("empty")", R"("b64":"")", "sent", {R"("sent")"}},
      {"disconnect", R"("d")", "", "closed", {R"("closed")"}},
      {"disconnect", "0", "", "error", {R"("error")"}},
      {"bogus", R"("\ud83d\ude00")", "", "error", {R"("error")"}},
  };
  for (const Step& step : steps) {
    bridge.send(command(step.t, step.id, step.more));
    EXPECT_EQ(answerTo(bridge, step.id, step.final), step.events) << step.t << " " << step.id;
  }
  // Nothing more carries any of the ids once each command had its final event.
  for (const std::string& e : bridge.drainEvents(500ms)) {
    auto f = fields(e);
    EXPECT_EQ(f.count("id"), 0u) << e;
  }
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

// ---- codes ---------------------------------------------------------------------------------

struct CodeCase {
  const char* code;
  std::string world;
  // Commands after hello, each with what to wait for before the next ("" for nothing).
  std::vector<std::pair<std::string, std::string>> steps;
  std::string t;                                 // the kind of the event carrying the code
  std::map<std::string, std::string> more = {};  // and some of its other members
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const CodeCase& c, std::ostream* os) {
  *os << c.code;
}

class Protocol2Codes : public testing::TestWithParam<CodeCase> {};

TEST_P(Protocol2Codes, TheirFailureGivesTheCodeWithItsRussianText) {
  const CodeCase& c = GetParam();
  BridgeProcess bridge({.world = c.world});
  greet(bridge);
  for (const auto& [line, wait] : c.steps) {
    bridge.send(line);
    if (!wait.empty()) {
      ASSERT_TRUE(bridge.waitEvent(wait)) << line;
    }
  }
  auto e = bridge.waitEvent(R"("code":")" + std::string(c.code) + "\"");
  ASSERT_TRUE(e) << c.code;
  auto f = fields(*e);
  EXPECT_EQ(f["t"], jsonString(c.t)) << *e;
  // The Russian text stays under protocol 1's key.
  EXPECT_GT(f[c.t == "closed" ? "reason" : "error"].size(), 2u) << *e;
  for (const auto& [key, value] : c.more) EXPECT_EQ(f[key], value) << *e;
}

std::string oneDevice(const std::string& lines) {
  return wire::world({{phoneA, lines}});
}
std::string connectA(const std::string& id = "1") {
  return command("connect", id, addrMember(phoneA));
}
const std::string connected = R"("connected")";

INSTANTIATE_TEST_SUITE_P(
    Table, Protocol2Codes,
    testing::Values(
        CodeCase{"BAD_COMMAND",
                 oneDevice(""),
                 {{command("frobnicate", "9"), ""}},
                 "error",
                 {{"id", "9"}}},
        CodeCase{"BAD_COMMAND", oneDevice(""), {{command("scan", "1.5"), ""}}, "error"},
        CodeCase{"BAD_COMMAND",
                 oneDevice(""),
                 {{command("connect", "2", addrMember("A4:50:46:12:34")), ""}},
                 "error",
                 {{"id", "2"}}},
        CodeCase{"NOT_VISIBLE",
                 oneDevice(""),
                 {{command("pair", "3", addrMember(unknown)), ""}},
                 "pair-result",
                 {{"ok", "false"}, {"addr", jsonString(unknown)}}},
        CodeCase{"NOT_VISIBLE",
                 oneDevice(""),
                 {{command("connect", "3", addrMember(unknown)), ""}},
                 "closed",
                 {{"id", "3"}}},
        CodeCase{"NO_SERIAL_SERVICE",
                 oneDevice("services-cached 0\nservices-uncached 0\n"),
                 {{connectA(), ""}},
                 "closed"},
        CodeCase{"PAIRING_REFUSED",
                 oneDevice("pair-status 19\n"),
                 {{command("pair", "4", addrMember(phoneA)), ""}},
                 "pair-result",
                 {{"status", "19"}}},
        CodeCase{
            "OPEN_FAILED", oneDevice("connect refuse 0x8007274D\n"), {{connectA(), ""}}, "closed"},
        CodeCase{"OPEN_FAILED",
                 oneDevice("connect refuse 0x8007274D\n"),
                 {{connectA(), R"("closed")"}},
                 "error",
                 {{"hresult", R"("0x8007274D")"}}},
        CodeCase{"PLATFORM_ERROR",
                 oneDevice("pair-error 0x80004005\n"),
                 {{command("pair", "5", addrMember(phoneA)), ""}},
                 "pair-result",
                 {{"hresult", R"("0x80004005")"}}},
        CodeCase{"WRITE_FAILED",
                 oneDevice("store-error 0x80072745\n"),
                 {{connectA(), connected}, {command("send", "6", R"("b64":"QUJD")"), ""}},
                 "error",
                 {{"id", "6"}, {"hresult", R"("0x80072745")"}}},
        CodeCase{"NOT_CONNECTED",
                 oneDevice(""),
                 {{command("send", "7", R"("b64":"QUJD")"), ""}},
                 "error",
                 {{"id", "7"}}},
        CodeCase{"NOT_CONNECTED",
                 oneDevice(""),
                 {{connectA(), connected}, {command("disconnect", "8", addrMember(phoneB)), ""}},
                 "error",
                 {{"addr", jsonString(phoneB)}}},
        CodeCase{"ADDR_REQUIRED",
                 wire::world({{phoneA, ""}, {phoneB, ""}}),
                 {{connectA(), connected},
                  {command("connect", "2", addrMember(phoneB)), connected},
                  {command("send", "9", R"("b64":"QUJD")"), ""}},
                 "error",
                 {{"id", "9"}}},
        CodeCase{"ALREADY_CONNECTED",
                 oneDevice(""),
                 {{connectA(), connected}, {connectA("10"), ""}},
                 "error",
                 {{"id", "10"}, {"addr", jsonString(phoneA)}}},
        CodeCase{"TOO_LARGE",
                 oneDevice(""),
                 {{connectA(), connected},
                  {command("send", "11",
                           R"("b64":")" + wire::base64(std::string((1 << 20) + 1, 'x')) + "\""),
                   ""}},
                 "error",
                 {{"id", "11"}}},
        // The first send fills the window while its store waits; the second has no room.
        CodeCase{
            "BUSY",
            oneDevice("store-delay-ms 3000\n"),
            {{connectA(), connected},
             {command("send", "12", R"("b64":")" + wire::base64(std::string(1 << 20, 'x')) + "\""),
              ""},
             {command("send", "13", R"("b64":"QQ==")"), ""}},
            "error",
            {{"id", "13"}}},
        CodeCase{"ADAPTER_OFF",
                 "adapter absent\n" + oneDevice(""),
                 {{command("scan", "14"), ""}},
                 "scan-done",
                 {{"id", "14"}}},
        CodeCase{"ADAPTER_OFF",
                 "adapter absent\n" + oneDevice(""),
                 {{command("pair", "15", addrMember(phoneA)), ""}},
                 "pair-result"},
        CodeCase{"ADAPTER_OFF",
                 "adapter absent\n" + oneDevice(""),
                 {{connectA(), R"("closed")"}},
                 "error"},
        CodeCase{"HOST_CLOSED",
                 oneDevice(""),
                 {{connectA(), connected}, {command("disconnect", "16"), ""}},
                 "closed",
                 {{"id", "16"}, {"addr", jsonString(phoneA)}}},
        CodeCase{"PHONE_CLOSED",
                 oneDevice("phone-close\n"),
                 {{connectA(), ""}},
                 "closed",
                 {{"addr", jsonString(phoneA)}}},
        CodeCase{"LINK_LOST",
                 oneDevice("phone-drop\n"),
                 {{connectA(), ""}},
                 "closed",
                 {{"addr", jsonString(phoneA)}}}),
    [](const auto& info) {
      return std::string(info.param.code) + "_" + std::to_string(info.index);
    });

TEST(Protocol2Connect, AConnectToAnAddressAlreadyConnectedLeavesThatConnectionWorking) {
  BridgeProcess bridge({.world = oneDevice("phone echo\n")});
  greet(bridge);
  bridge.send(connectA());
  ASSERT_TRUE(bridge.waitEvent(connected));
  // Any spelling of the same address is the same phone.
  bridge.send(command("connect", "2", addrMember("a4-50-46-12-34-56")));
  ASSERT_TRUE(bridge.waitEvent("ALREADY_CONNECTED"));
  bridge.send(command("send", "3", R"("b64":"QUJD")"));
  EXPECT_THAT(
      bridge.drainEvents(),
      testing::UnorderedElementsAre(R"({"t":"data","addr":"A4:50:46:12:34:56","b64":"QUJD"})",
                                    R"({"t":"sent","id":3,"addr":"A4:50:46:12:34:56","bytes":3})"));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

// A link protocol 1 opened is keyed as any other: its events after a hello give the canonical
// address, and every spelling of it names it.
TEST(Protocol2Connect, ALinkProtocol1OpenedInItsOwnSpellingIsTheSamePhone) {
  BridgeProcess bridge({.world = oneDevice("phone echo\nconnect-delay-ms 300\n")});
  ASSERT_EQ(bridge.nextEvent(), wire::ready);
  bridge.send(wire::connectCommand("a4:50:46:12:34:56"));
  bridge.send(wire::hello());
  ASSERT_TRUE(bridge.waitEvent(R"("t":"hello")"));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"connected","addr":"A4:50:46:12:34:56"})");
  bridge.send(command("send", "2", addrMember("a4-50-46-12-34-56") + R"(,"b64":"QUJD")"));
  EXPECT_THAT(
      bridge.drainEvents(),
      testing::UnorderedElementsAre(R"({"t":"data","addr":"A4:50:46:12:34:56","b64":"QUJD"})",
                                    R"({"t":"sent","id":2,"addr":"A4:50:46:12:34:56","bytes":3})"));
  bridge.send(connectA("3"));
  ASSERT_TRUE(bridge.waitEvent("ALREADY_CONNECTED"));
  bridge.send(command("disconnect", "4", addrMember("a45046123456")));
  EXPECT_EQ(
      bridge.nextEvent(),
      R"({"t":"closed","id":4,"addr":"A4:50:46:12:34:56","code":"HOST_CLOSED","reason":"соединение закрыто"})");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

}  // namespace
