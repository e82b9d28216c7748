// The pair command and the address resolver, seen from the host's side.
#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/wire.h"
#include "harness/bridge_process.h"

using harness::BridgeProcess;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::UnorderedElementsAre;

namespace {

using wire::ready;

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string robot = "A4:50:46:12:34:56";
const size_t startupLines = 4;

std::string commandText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string pairCommand(const std::string& addr) {
  return R"({"t":"pair","addr":")" + commandText(addr) + "\"}";
}

// The event texts, built the way a host would expect them, with addr JSON-escaped.
std::string paired(const std::string& escapedAddr) {
  return R"({"t":"pair-result","addr":")" + escapedAddr + R"(","ok":true})";
}
std::string notVisible(const std::string& escapedAddr) {
  return R"({"t":"pair-result","addr":")" + escapedAddr +
         R"(","ok":false,"error":"Windows не видит этот телефон — включи видимость на роботе )"
         R"(и найди заново"})";
}
std::string refused(const std::string& escapedAddr, int status) {
  return R"({"t":"pair-result","addr":")" + escapedAddr +
         R"(","ok":false,"error":"сопряжение не состоялось (код )" + std::to_string(status) +
         R"() — подтвердили ли на телефоне?"})";
}
std::string failed(const std::string& escapedAddr, const std::string& escapedError) {
  return R"({"t":"pair-result","addr":")" + escapedAddr + R"(","ok":false,"error":")" +
         escapedError + "\"}";
}
std::string pairingCode(const std::string& escapedPin) {
  return R"({"t":"pairing-code","code":")" + escapedPin + "\"}";
}

// The log lines, with the address raw.
std::string asked(const std::string& addr) {
  return "[pair] запрошено сопряжение с " + addr;
}
std::string resolved(const std::string& addr) {
  return "[resolve] устройство " + addr + " опознано по адресу";
}
std::string unknown(const std::string& addr) {
  return "[resolve] Windows не знает устройства " + addr;
}
const std::string requesting = "[pair] запрашиваю сопряжение, ждём подтверждения на телефоне";
const std::string alreadyPaired = "[pair] уже сопряжён, подтверждение не нужно";
std::string kind(int k) {
  return "[pair] система просит подтверждения, вид=" + std::to_string(k);
}
std::string outcome(int status) {
  return "[pair] итог: код " + std::to_string(status);
}
std::string exception(const std::string& text) {
  return "[pair] исключение: " + text;
}

struct Session {
  Lines log;     // after the start-up lines
  Lines events;  // after ready
};

// Sends each pair command once the previous one's pair-result has arrived, then waits a
// little for anything extra (a second pair-result would be a fault) and ends the bridge.
Session pairInTurn(const std::string& world, const std::vector<std::string>& addrs) {
  Session session;
  BridgeProcess bridge({.world = world});
  EXPECT_EQ(bridge.nextEvent(), ready);
  for (const auto& addr : addrs) {
    bridge.send(pairCommand(addr));
    while (true) {
      auto event = bridge.nextEvent();
      if (!event) {
        ADD_FAILURE() << "no pair-result for " << addr;
        break;
      }
      session.events.push_back(*event);
      if (event->find(R"("t":"pair-result")") != std::string::npos) break;
    }
  }
  for (auto& late : bridge.drainEvents(200ms)) session.events.push_back(late);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto lines = bridge.logLines();
  if (lines.size() > startupLines) session.log.assign(lines.begin() + startupLines, lines.end());
  return session;
}

struct PairCase {
  std::string name;
  std::string world;
  std::string addr;
  Lines log;
  Lines events;
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const PairCase& c, std::ostream* os) {
  *os << c.name;
}

std::string robotWorld(const std::string& keys) {
  return "device " + robot + "\n  pin \"482916\"\n  pair-delay-ms 5\n" + keys;
}

std::vector<PairCase> pairCases() {
  const std::string r = robot;
  const std::string quoted = R"(A4:50:46:12:34:56 "go" \z)";
  const std::string quotedJson = R"(A4:50:46:12:34:56 \"go\" \\z)";
  return {
      {"pinComparison",
       robotWorld(""),
       r,
       {asked(r), resolved(r), requesting, kind(8), outcome(0)},
       {pairingCode("482916"), paired(r)}},
      {"plainConfirmation",
       robotWorld("pairing confirm\n"),
       r,
       {asked(r), resolved(r), requesting, kind(1), outcome(0)},
       {paired(r)}},
      {"noCeremony",
       robotWorld("pairing none\n"),
       r,
       {asked(r), resolved(r), requesting, outcome(0)},
       {paired(r)}},
      {"alreadyPaired",
       robotWorld("paired yes\n"),
       r,
       {asked(r), resolved(r), alreadyPaired},
       {paired(r)}},
      {"statusAlreadyPairedIsSuccess",
       robotWorld("pair-status 3\n"),
       r,
       {asked(r), resolved(r), requesting, kind(8), outcome(3)},
       {pairingCode("482916"), paired(r)}},
      {"statusFailedIsRefused",
       robotWorld("pairing confirm\npair-status 19\n"),
       r,
       {asked(r), resolved(r), requesting, kind(1), outcome(19)},
       {refused(r, 19)}},
      {"pinTextIsPassedAsGiven",
       robotWorld("pin \"007\\\"\\\\\"\npair-status 9\n"),
       r,
       {asked(r), resolved(r), requesting, kind(8), outcome(9)},
       {pairingCode(R"(007\"\\)"), refused(r, 9)}},
      // ProvidePin is never offered: the stack gives up without asking us.
      {"unofferedCeremony",
       robotWorld("pairing 4\n"),
       r,
       {asked(r), resolved(r), requesting, outcome(19)},
       {refused(r, 19)}},
      // A failing Accept is handed back to the platform; only its outcome reaches the host.
      {"acceptFails",
       robotWorld("accept-error 0x80004005\n"),
       r,
       {asked(r), resolved(r), requesting, kind(8), outcome(17)},
       {pairingCode("482916"), refused(r, 17)}},
      {"pairAsyncFails",
       robotWorld("pair-error 0x800704C7\n"),
       r,
       {asked(r), resolved(r), requesting, kind(8),
        exception("The operation was canceled by the user. (0x800704C7)")},
       {pairingCode("482916"), failed(r, "The operation was canceled by the user. (0x800704C7)")}},
      {"isPairedFails",
       robotWorld("pairing-read-error 0x8007048F\n"),
       r,
       {asked(r), resolved(r), exception("The device is not connected. (0x8007048F)")},
       {failed(r, "The device is not connected. (0x8007048F)")}},
      {"recordLookupFails",
       robotWorld("record error 0x80070005\n"),
       r,
       {asked(r), resolved(r), exception("Access is denied. (0x80070005)")},
       {failed(r, "Access is denied. (0x80070005)")}},
      {"recordLookupGivesNothing",
       robotWorld("record none\n"),
       r,
       {asked(r), resolved(r), "[pair] Windows не открыла запись устройства " + r},
       {notVisible(r)}},
      {"errorTextIsEscapedInTheEventOnly",
       robotWorld(
           "record error 0x80004005\nmessage 0x80004005 \"Сбой \\\"радио\\\" C:\\\\x\\r\\n\"\n"),
       r,
       {asked(r), resolved(r), exception(R"(Сбой "радио" C:\x (0x80004005))")},
       {failed(r, R"(Сбой \"радио\" C:\\x (0x80004005))")}},
      {"platformKnowsNoDevice",
       robotWorld("lookup unknown\n"),
       r,
       {asked(r), unknown(r)},
       {notVisible(r)}},
      {"deviceWithoutRecord",
       robotWorld("lookup no-record\n"),
       r,
       {asked(r), unknown(r)},
       {notVisible(r)}},
      {"addressLookupFails",
       robotWorld("lookup error 0x8007001F\n"),
       r,
       {asked(r), "[resolve] не удалось опознать " + r +
                      ": A device attached to the system is not functioning. (0x8007001F)"},
       {notVisible(r)}},
      {"noDeviceAtThatAddress",
       robotWorld(""),
       "A4:50:46:12:34:57",
       {asked("A4:50:46:12:34:57"), unknown("A4:50:46:12:34:57")},
       {notVisible("A4:50:46:12:34:57")}},
      {"lowerCaseWithDashes",
       robotWorld("pairing confirm\n"),
       "a4-50-46-12-34-56",
       {asked("a4-50-46-12-34-56"), resolved("a4-50-46-12-34-56"), requesting, kind(1), outcome(0)},
       {paired("a4-50-46-12-34-56")}},
      // 18 digits: the first two are shifted out and the rest name the robot.
      {"eighteenDigits",
       robotWorld("pairing confirm\n"),
       "12:00:00:A4:50:46:12:34:56",
       {asked("12:00:00:A4:50:46:12:34:56"), resolved("12:00:00:A4:50:46:12:34:56"), requesting,
        kind(1), outcome(0)},
       {paired("12:00:00:A4:50:46:12:34:56")}},
      {"emptyAddressAsksForZero", robotWorld(""), "", {asked(""), unknown("")}, {notVisible("")}},
      {"emptyAddressFindsADeviceAtZero",
       "device 00:00:00:00:00:00\n  pairing none\n",
       "",
       {asked(""), resolved(""), requesting, outcome(0)},
       {paired("")}},
      {"quotedAddressPaired",
       robotWorld("pairing confirm\n"),
       quoted,
       {asked(quoted), resolved(quoted), requesting, kind(1), outcome(0)},
       {paired(quotedJson)}},
      {"quotedAddressRefused",
       robotWorld("pairing confirm\npair-status 14\n"),
       quoted,
       {asked(quoted), resolved(quoted), requesting, kind(1), outcome(14)},
       {refused(quotedJson, 14)}},
      {"quotedAddressFailed",
       robotWorld("record error 0x80070005\n"),
       quoted,
       {asked(quoted), resolved(quoted), exception("Access is denied. (0x80070005)")},
       {failed(quotedJson, "Access is denied. (0x80070005)")}},
      {"quotedAddressNotVisible",
       robotWorld("lookup unknown\n"),
       quoted,
       {asked(quoted), unknown(quoted)},
       {notVisible(quotedJson)}},
  };
}

class PairRun : public testing::TestWithParam<PairCase> {};

TEST_P(PairRun, LogsEachStepAndEndsWithOnePairResult) {
  const auto& c = GetParam();
  auto session = pairInTurn(c.world, {c.addr});
  EXPECT_THAT(session.log, ElementsAreArray(c.log));
  EXPECT_THAT(session.events, ElementsAreArray(c.events));
}

INSTANTIATE_TEST_SUITE_P(Outcomes, PairRun, testing::ValuesIn(pairCases()),
                         [](const auto& info) { return info.param.name; });

TEST(PairAgain, SecondPairIsAnsweredFromTheTableAndSaysAlreadyPaired) {
  auto session = pairInTurn(robotWorld(""), {robot, robot});
  EXPECT_THAT(session.log, ElementsAre(asked(robot), resolved(robot), requesting, kind(8),
                                       outcome(0), asked(robot), alreadyPaired));
  EXPECT_THAT(session.events, ElementsAre(pairingCode("482916"), paired(robot), paired(robot)));
}

TEST(PairAgain, LowerCaseTextIsANewKeyAndThenKnownToo) {
  const std::string lower = "a4:50:46:12:34:56";
  auto session = pairInTurn(robotWorld("pairing confirm\n"), {robot, lower, lower});
  EXPECT_THAT(session.log, ElementsAre(asked(robot), resolved(robot), requesting, kind(1),
                                       outcome(0), asked(lower), resolved(lower), alreadyPaired,
                                       asked(lower), alreadyPaired));
  EXPECT_THAT(session.events, ElementsAre(paired(robot), paired(lower), paired(lower)));
}

TEST(PairAgain, FailedPairingIsNotRememberedAsPaired) {
  auto session = pairInTurn(robotWorld("pairing confirm\npair-status 19\n"), {robot, robot});
  EXPECT_THAT(session.log,
              ElementsAre(asked(robot), resolved(robot), requesting, kind(1), outcome(19),
                          asked(robot), requesting, kind(1), outcome(19)));
  EXPECT_THAT(session.events, ElementsAre(refused(robot, 19), refused(robot, 19)));
}

TEST(PairAgain, UnknownAddressIsAskedForEveryTime) {
  auto session = pairInTurn(robotWorld("lookup unknown\n"), {robot, robot});
  EXPECT_THAT(session.log, ElementsAre(asked(robot), unknown(robot), asked(robot), unknown(robot)));
  EXPECT_THAT(session.events, ElementsAre(notVisible(robot), notVisible(robot)));
}

TEST(PairAgain, FailedLookupLeavesNoEntry) {
  auto session = pairInTurn(robotWorld("lookup error 0x80004005\n"), {robot, robot});
  const std::string line =
      "[resolve] не удалось опознать " + robot + ": Unspecified error (0x80004005)";
  EXPECT_THAT(session.log, ElementsAre(asked(robot), line, asked(robot), line));
  EXPECT_THAT(session.events, ElementsAre(notVisible(robot), notVisible(robot)));
}

TEST(PairConcurrency, NextCommandIsReadWhileThePairingWaits) {
  BridgeProcess bridge({.world = robotWorld("pair-delay-ms 1000\n")});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(pairCommand(robot));
  bridge.send(R"({"t":"bogus"})");
  ASSERT_TRUE(bridge.waitEvent("pair-result").has_value());
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto log = bridge.logLines();
  auto at = [&](const std::string& line) {
    return std::find(log.begin(), log.end(), line) - log.begin();
  };
  const std::string bogus = R"([cmd] незнакомая команда: «bogus» в строке: {"t":"bogus"})";
  ASSERT_LT(at(bogus), static_cast<long>(log.size()));
  ASSERT_LT(at(outcome(0)), static_cast<long>(log.size()));
  EXPECT_LT(at(bogus), at(kind(8)));
  EXPECT_LT(at(bogus), at(outcome(0)));
}

TEST(PairConcurrency, TwoPairingsInFlightEachGetTheirOwnResult) {
  const std::string other = "10:20:30:40:50:60";
  BridgeProcess bridge({.world = robotWorld("pair-delay-ms 300\n") + "device " + other +
                                 "\n  pairing confirm\n  pair-status 19\n  pair-delay-ms 300\n"});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(pairCommand(robot));
  bridge.send(pairCommand(other));
  Lines events;
  for (int results = 0; results < 2;) {
    auto event = bridge.nextEvent();
    if (!event) break;
    events.push_back(*event);
    if (event->find("pair-result") != std::string::npos) ++results;
  }
  for (auto& late : bridge.drainEvents(200ms)) events.push_back(late);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_THAT(events,
              UnorderedElementsAre(pairingCode("482916"), paired(robot), refused(other, 19)));
  auto code = std::find(events.begin(), events.end(), pairingCode("482916"));
  EXPECT_LT(code, std::find(events.begin(), events.end(), paired(robot)));
}

}  // namespace
