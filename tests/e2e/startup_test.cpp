// Start-up, the command loop and the log, seen from outside the process.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/wire.h"
#include "harness/bridge_process.h"

using harness::BridgeProcess;
using harness::Options;
using testing::ElementsAre;
using testing::StartsWith;

namespace {

using wire::ready;

// The start-up lines after the probe line.
void expectTail(const std::vector<std::string>& lines, size_t from) {
  ASSERT_GE(lines.size(), from + 2);
  EXPECT_THAT(lines[from], StartsWith("[start] сборка "));
  EXPECT_EQ(lines[from + 1],
            "[start] журнал пишется в quintel-bt.log рядом с exe — перенаправлять вывод не нужно");
}

struct ProbeCase {
  const char* name;
  const char* world;
  const char* line;
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ProbeCase& c, std::ostream* os) {
  *os << c.name;
}

class AdapterProbe : public testing::TestWithParam<ProbeCase> {};

TEST_P(AdapterProbe, LogsItsOutcomeBetweenTheFirstLineAndTheBuildStamp) {
  BridgeProcess bridge({.world = GetParam().world});
  EXPECT_EQ(bridge.nextEvent(), ready);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto lines = bridge.logLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "[start] посредник запущен");
  EXPECT_EQ(lines[1], GetParam().line);
  expectTail(lines, 2);
  EXPECT_EQ(lines.size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, AdapterProbe,
    testing::Values(
        ProbeCase{"classic", "adapter present\nclassic yes\n",
                  "[start] адаптер найден, classic=да"},
        ProbeCase{"noClassic", "adapter present\nclassic no\n",
                  "[start] адаптер найден, classic=нет"},
        ProbeCase{"absent", "adapter absent\n",
                  "[start] ВНИМАНИЕ: адаптер Bluetooth не найден — эфир опрашивать нечем"},
        ProbeCase{"failing", "adapter error 0x80040154\n",
                  "[start] не удалось опросить адаптер: Class not registered (0x80040154)"},
        ProbeCase{"failingWithOwnMessage",
                  "adapter error 0x80004005\nmessage 0x80004005 \"Сбой \\\"радио\\\"\\r\\n\"\n",
                  "[start] не удалось опросить адаптер: Сбой \"радио\" (0x80004005)"},
        ProbeCase{"failingWithoutMessage", "adapter error 1\n",
                  "[start] не удалось опросить адаптер:  (0x00000001)"},
        ProbeCase{"slowProbe", "probe-delay-ms 300\n", "[start] адаптер найден, classic=да"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Startup, DefaultWorldWritesTheLogWithBomAndCrLfAndReadyFirst) {
  BridgeProcess bridge;
  EXPECT_EQ(bridge.nextEvent(), ready);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  std::string log = bridge.logBytes();
  EXPECT_THAT(log, StartsWith("\xEF\xBB\xBF[start] посредник запущен\r\n"));
  EXPECT_EQ(log.find("\r\r\n"), std::string::npos);
  EXPECT_EQ(bridge.stdoutBytes(), ready + "\r\n");
  // Standard error carries the same lines, each ending in CR LF.
  std::string err = bridge.stderrBytes();
  EXPECT_EQ(err, log.substr(3));
}

TEST(Startup, BuildStampHasTheCompilerDateForm) {
  BridgeProcess bridge;
  bridge.closeInput();
  bridge.wait();
  auto lines = bridge.logLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_THAT(lines[2], testing::MatchesRegex("\\[start\\] сборка [A-Z][a-z][a-z] [ 1-3][0-9] "
                                              "[0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]"));
}

TEST(Startup, ReplacesLastRunsLog) {
  BridgeProcess bridge({.beforeStart = [](const auto& dir) {
    std::ofstream(dir / "quintel-bt.log") << std::string(10000, '~');
  }});
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(bridge.logBytes().find('~'), std::string::npos);
  EXPECT_THAT(bridge.logBytes(), StartsWith("\xEF\xBB\xBF[start] посредник запущен\r\n"));
}

TEST(Startup, UnwritableLogStillStartsAndLogsToStandardError) {
  // Root ignores file permissions, so the log's path is taken by a directory instead.
  BridgeProcess bridge({.beforeStart = [](const auto& dir) {
    std::filesystem::create_directory(dir / "quintel-bt.log");
  }});
  EXPECT_EQ(bridge.nextEvent(), ready);
  bridge.send("hello");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto err = harness::splitCrlf(bridge.stderrBytes());
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err.front(), "[start] посредник запущен");
  EXPECT_EQ(err.back(), "[cmd] незнакомая команда: «» в строке: hello");
}

TEST(CommandLoop, UnrecognisedCommandsAreLoggedWithTheFirst120Bytes) {
  BridgeProcess bridge;
  ASSERT_EQ(bridge.nextEvent(), ready);
  std::string longLine = R"({"t":"SCAN","pad":")" + std::string(40, 'a');
  while (longLine.size() < 300) longLine += "я";
  bridge.send(R"({"t":"SCAN"})");
  bridge.send("hello");
  bridge.send(longLine);
  bridge.send("   ");
  bridge.send(R"({"t":"x\"y","t2":1})");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto lines = bridge.logLines();
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[4], "[cmd] незнакомая команда: «SCAN» в строке: {\"t\":\"SCAN\"}");
  EXPECT_EQ(lines[5], "[cmd] незнакомая команда: «» в строке: hello");
  EXPECT_EQ(lines[6], "[cmd] незнакомая команда: «SCAN» в строке: " + longLine.substr(0, 120));
  EXPECT_EQ(lines[7], "[cmd] незнакомая команда: «» в строке:    ");
  EXPECT_EQ(lines[8], "[cmd] незнакомая команда: «x\"y» в строке: {\"t\":\"x\\\"y\",\"t2\":1}");
  EXPECT_EQ(bridge.stdoutBytes(), ready + "\r\n");
}

TEST(CommandLoop, EmptyLinesAndCrLfInputAreSilent) {
  BridgeProcess bridge;
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.sendRaw("\n\r\n\n");
  bridge.sendRaw("{\"t\":\"nope\"}\r\n");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto lines = bridge.logLines();
  ASSERT_EQ(lines.size(), 5u);
  // The CR that ends a line is dropped, as a text-mode stream would.
  EXPECT_EQ(lines[4], "[cmd] незнакомая команда: «nope» в строке: {\"t\":\"nope\"}");
}

TEST(CommandLoop, LastLineWithoutLfIsExecutedThenExitZero) {
  BridgeProcess bridge;
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.sendRaw("{\"t\":\"last\"}");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(bridge.logLines().back(),
            "[cmd] незнакомая команда: «last» в строке: {\"t\":\"last\"}");
}

TEST(CommandLoop, StopScanWithNoScanGivesNoOutputAtAll) {
  BridgeProcess bridge;
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(R"({"t":"stop-scan"})");
  bridge.send(R"({"t":"disconnect"})");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(bridge.logLines().size(), 4u);
  EXPECT_EQ(bridge.stdoutBytes(), ready + "\r\n");
}

TEST(HostFaults, ClosedStandardOutputDoesNotStopTheBridge) {
  BridgeProcess bridge({.closeStdout = true});
  ASSERT_TRUE(bridge.waitLog("журнал пишется"));
  bridge.send("first");
  bridge.send("second");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto lines = bridge.logLines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[5], "[cmd] незнакомая команда: «» в строке: second");
}

TEST(HostFaults, ClosedStandardErrorStillLogsToTheFile) {
  BridgeProcess bridge({.closeStderr = true});
  EXPECT_EQ(bridge.nextEvent(), ready);
  bridge.send("after");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(bridge.logLines().back(), "[cmd] незнакомая команда: «» в строке: after");
}

TEST(SimulatedRadio, BrokenWorldFileIsReportedAndEndsTheProcess) {
  BridgeProcess bridge({.world = "adapter sideways\n"});
  EXPECT_NE(bridge.wait(), 0);
  EXPECT_THAT(bridge.stderrBytes(), testing::HasSubstr("line 1"));
}

}  // namespace
