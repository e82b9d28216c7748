// Faults injected on the simulated radio and by the host: each is reported the way the host
// is promised, and the bridge keeps serving the next command.
#include <sys/resource.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/wire.h"
#include "harness/bridge_process.h"

using harness::BridgeProcess;
using harness::Options;
using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::Not;

namespace {

using wire::closed;
using wire::ready;
using wire::send;
using wire::writeFailed;

const std::string phone = "A4:50:46:12:34:56";
const std::string connectPhone = R"({"t":"connect","addr":"A4:50:46:12:34:56"})";
const std::string connected = R"({"t":"connected","addr":"A4:50:46:12:34:56"})";

// The connection still works: a connect (when none is open) and one echoed send.
void expectEchoWorks(BridgeProcess& bridge, bool connectFirst = true) {
  if (connectFirst) {
    bridge.send(connectPhone);
    ASSERT_EQ(bridge.waitEvent("connected"), connected);
  }
  bridge.send(send("still here"));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":")" + wire::base64("still here") + R"("})");
}

TEST(RadioFaults, LinkDroppedMidTransferEndsTheConnectionOnceAndTheNextConnectWorks) {
  BridgeProcess bridge({.world = "device A4:50:46:12:34:56\n  drop-after-bytes 1000\n"});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(connectPhone);
  ASSERT_EQ(bridge.nextEvent(), connected);
  std::string sent;
  for (int i = 0; i < 8; ++i) {
    std::string chunk(500, static_cast<char>('a' + i));
    sent += chunk;
    bridge.send(send(chunk));
  }
  // Echoed bytes (never more than the link carried), failed stores, then one closed event;
  // only failed stores may follow it.
  std::string echoed;
  for (;;) {
    auto e = bridge.nextEvent();
    ASSERT_TRUE(e) << "no closed event";
    if (*e == closed) break;
    if (auto bytes = wire::dataBytes(*e))
      echoed += *bytes;
    else
      EXPECT_EQ(*e, writeFailed);
  }
  for (const auto& e : bridge.drainEvents()) EXPECT_EQ(e, writeFailed);
  EXPECT_LE(echoed.size(), 1000u);
  EXPECT_EQ(echoed, sent.substr(0, echoed.size()));
  // A send after the drop goes nowhere; a new connection carries bytes again.
  bridge.send(send("lost"));
  EXPECT_EQ(bridge.drainEvents(), std::vector<std::string>{});
  expectEchoWorks(bridge);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(RadioFaults, FailedStoresGiveOnlyTheWriteErrorAndTheConnectionStaysOpen) {
  BridgeProcess bridge(
      {.world = "device A4:50:46:12:34:56\n  store-error 0x80070079 after-bytes 6\n"});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(connectPhone);
  ASSERT_EQ(bridge.nextEvent(), connected);
  bridge.send(send("ABC"));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"QUJD"})");
  bridge.send(send("DEF"));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"REVG"})");
  for (int i = 0; i < 3; ++i) bridge.send(send("GHI"));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(bridge.nextEvent(), writeFailed);
  EXPECT_EQ(bridge.drainEvents(), std::vector<std::string>{});
  EXPECT_THAT(bridge.logBytes(), Not(HasSubstr("исключение")));
  // Still open: disconnect closes it, and only then.
  bridge.send(R"({"t":"disconnect"})");
  EXPECT_EQ(bridge.nextEvent(), closed);
  bridge.send(R"({"t":"pair","addr":"A4:50:46:12:34:56"})");
  EXPECT_EQ(bridge.waitEvent("pair-result"),
            R"({"t":"pair-result","addr":"A4:50:46:12:34:56","ok":true})");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(RadioFaults, WatcherThatRefusesToStopNeverHoldsUpTheScans) {
  BridgeProcess bridge({.world = "inquiry-unit-ms 20\nwatcher-stop refuse-always\n"
                                 "device A4:50:46:12:34:56\n  name \"R\"\n  watcher yes\n"});
  ASSERT_EQ(bridge.nextEvent(), ready);
  const std::string device =
      R"({"t":"device","addr":"A4:50:46:12:34:56","name":"R","paired":false})";
  bridge.send(R"({"t":"scan","seconds":1})");
  bridge.send(R"({"t":"stop-scan"})");
  bridge.send(R"({"t":"stop-scan"})");
  EXPECT_EQ(bridge.nextEvent(), device);
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"scan-done"})");
  // The next scan drops the unstoppable watcher and runs as usual.
  bridge.send(R"({"t":"scan","seconds":1})");
  EXPECT_EQ(bridge.nextEvent(), device);
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"scan-done"})");
  bridge.send(R"({"t":"stop-scan"})");
  EXPECT_EQ(bridge.drainEvents(), std::vector<std::string>{});
  std::string log = bridge.logBytes();
  EXPECT_THAT(log, Not(HasSubstr("наблюдатель остановлен")));
  EXPECT_THAT(log, HasSubstr("[scan] опрос закончен, устройств найдено: 1\r\n"));
  expectEchoWorks(bridge);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(RadioFaults, FailingAcceptInThePairingCallbackGivesOneRefusedResult) {
  BridgeProcess bridge({.world = "device A4:50:46:12:34:56\n  pin \"111222\"\n"
                                 "  accept-error 0x80004005\n"
                                 "device 00:11:22:33:44:55\n  pairing confirm\n"});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(R"({"t":"pair","addr":"A4:50:46:12:34:56"})");
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"pairing-code","code":"111222"})");
  auto result = bridge.nextEvent();
  ASSERT_TRUE(result);
  EXPECT_THAT(*result,
              testing::StartsWith(R"({"t":"pair-result","addr":"A4:50:46:12:34:56","ok":false,)"
                                  R"("error":"сопряжение не состоялось (код )"));
  EXPECT_EQ(bridge.drainEvents(), std::vector<std::string>{});
  EXPECT_THAT(bridge.logBytes(), Not(HasSubstr("[pair] исключение")));
  // Another pairing goes through.
  bridge.send(R"({"t":"pair","addr":"00:11:22:33:44:55"})");
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"pair-result","addr":"00:11:22:33:44:55","ok":true})");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(RadioFaults, SlowProbeHoldsCommandsUntilReadyThenServesThemInOrder) {
  BridgeProcess bridge({.world = "probe-delay-ms 1500\ninquiry-unit-ms 10\n"
                                 "device A4:50:46:12:34:56\n  heard 0\n"});
  // Sent while the probe is still out: read only after start-up.
  bridge.send("early");
  bridge.send(connectPhone);
  EXPECT_EQ(bridge.nextEvent(5s), ready);
  EXPECT_EQ(bridge.nextEvent(), connected);
  bridge.send(send("hi"));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"aGk="})");
  auto lines = bridge.logLines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[1], "[start] адаптер найден, classic=да");
  EXPECT_EQ(lines[4], "[cmd] незнакомая команда: «» в строке: early");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

// Where completions arrive: on a new platform thread each, inside the call that started the
// operation (the task then goes on on the command thread, a store's echo and a close's end of
// the pending load arrive inside the store or the close), or all on one shared thread. The host
// sees the same session every time.
class CompletionThreads : public testing::TestWithParam<const char*> {};

TEST_P(CompletionThreads, GiveTheSameSessionWhereverTheyArrive) {
  BridgeProcess bridge({.world = std::string("completions ") + GetParam() +
                                 "\ninquiry-unit-ms 1\n"
                                 "device A4:50:46:12:34:56\n  name \"R\"\n  watcher yes\n"
                                 "  pin \"482916\"\n  pair-delay-ms 0\n  connect-delay-ms 0\n"
                                 "device 00:11:22:33:44:55\n  name \"Q\"\n  pairing confirm\n"
                                 "  pair-status 19\n  connect refuse 0x8007274D\n"
                                 "device 00:11:22:33:44:66\n  heard 0\n"
                                 "  phone-send \"bye\"\n  phone-close\n"});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(R"({"t":"scan","seconds":1})");
  EXPECT_EQ(bridge.nextEvent(),
            R"({"t":"device","addr":"A4:50:46:12:34:56","name":"R","paired":false})");
  EXPECT_EQ(bridge.nextEvent(),
            R"({"t":"device","addr":"00:11:22:33:44:55","name":"Q","paired":false})");
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"scan-done"})");
  bridge.send(R"({"t":"stop-scan"})");

  bridge.send(R"({"t":"pair","addr":"A4:50:46:12:34:56"})");
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"pairing-code","code":"482916"})");
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"pair-result","addr":"A4:50:46:12:34:56","ok":true})");
  bridge.send(R"({"t":"pair","addr":"00:11:22:33:44:55"})");
  EXPECT_EQ(bridge.nextEvent(),
            R"({"t":"pair-result","addr":"00:11:22:33:44:55","ok":false,)"
            R"("error":"сопряжение не состоялось (код 19) — подтвердили ли на телефоне?"})");

  bridge.send(connectPhone);
  EXPECT_EQ(bridge.nextEvent(), connected);
  bridge.send(send("hello"));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"aGVsbG8="})");
  // A refused connect leaves the open connection alone.
  bridge.send(R"({"t":"connect","addr":"00:11:22:33:44:55"})");
  EXPECT_EQ(bridge.nextEvent(),
            R"({"t":"error","error":"No connection could be made because the target machine )"
            R"x(actively refused it. (0x8007274D)"})x");
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"closed","reason":"не удалось открыть соединение"})");
  bridge.send(send("again"));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"YWdhaW4="})");
  bridge.send(R"({"t":"disconnect"})");
  EXPECT_EQ(bridge.nextEvent(), closed);
  bridge.send(send("nowhere"));

  // A phone that says goodbye and hangs up at once.
  bridge.send(R"({"t":"connect","addr":"00:11:22:33:44:66"})");
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"connected","addr":"00:11:22:33:44:66"})");
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"Ynll"})");
  EXPECT_EQ(bridge.nextEvent(), closed);
  EXPECT_EQ(bridge.drainEvents(), std::vector<std::string>{});
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_THAT(bridge.logBytes(), HasSubstr("[pair] система просит подтверждения, вид=8\r\n"));
  EXPECT_THAT(bridge.logBytes(), HasSubstr("[pair] система просит подтверждения, вид=1\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Modes, CompletionThreads,
                         testing::Values("platform-thread", "at-once", "one-thread"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::erase(name, '-');
                           return name;
                         });

// ---- Faults of the host's side --------------------------------------------------------------

TEST(HostFaults, ClosedStandardOutputStillRunsConnectionsAndPairingAndLogsThem) {
  BridgeProcess bridge(
      {.world = "device A4:50:46:12:34:56\n  phone-burst 100000\n", .closeStdout = true});
  bridge.send(connectPhone);
  ASSERT_TRUE(bridge.waitLog("[connect] сокет открыт"));
  for (int i = 0; i < 50; ++i) bridge.send(send(std::string(3000, 'x')));
  bridge.send(R"({"t":"pair","addr":"A4:50:46:12:34:56"})");
  EXPECT_TRUE(bridge.waitLog("[pair] итог: код 0"));
  bridge.send(R"({"t":"disconnect"})");
  bridge.send("done");
  EXPECT_TRUE(bridge.waitLog("[cmd] незнакомая команда: «» в строке: done"));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(HostFaults, ClosedStandardErrorLeavesEventsAndTheLogFileWhole) {
  BridgeProcess bridge({.world = "inquiry-unit-ms 10\n"
                                 "device A4:50:46:12:34:56\n  name \"R\"\n",
                        .closeStderr = true});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(R"({"t":"scan","seconds":1})");
  EXPECT_TRUE(bridge.waitEvent("scan-done"));
  bridge.send(R"({"t":"pair","addr":"A4:50:46:12:34:56"})");
  EXPECT_TRUE(bridge.waitEvent("pair-result"));
  expectEchoWorks(bridge);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  std::string log = bridge.logBytes();
  EXPECT_THAT(log, HasSubstr("[scan] эфир: R (A4:50:46:12:34:56)\r\n"));
  EXPECT_THAT(log, HasSubstr("[pair] итог: код 0\r\n"));
  EXPECT_THAT(log, HasSubstr("[connect] сокет открыт\r\n"));
}

// Sets the file-size limit (RLIMIT_FSIZE) that a bridge started meanwhile inherits, and
// puts this process's own back afterwards.
class FileSizeLimit {
 public:
  FileSizeLimit() { getrlimit(RLIMIT_FSIZE, &saved_); }
  void apply(rlim_t bytes) {
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() { restore(); }
  void restore() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

TEST(HostFaults, LogDiskFullDuringTheRunSendsLaterLinesToStandardErrorOnly) {
  FileSizeLimit limit;
  // Set once the executable and the world are in place, just before the fork: this process
  // must not hit the limit itself.
  BridgeProcess bridge({.world = "device A4:50:46:12:34:56\n",
                        .beforeStart = [&](const std::filesystem::path&) { limit.apply(1024); }});
  limit.restore();
  ASSERT_EQ(bridge.nextEvent(), ready);
  for (int i = 0; i < 40; ++i) bridge.send("filler line " + std::to_string(i));
  expectEchoWorks(bridge);
  bridge.send("the last line");
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (bridge.stderrBytes().find("the last line") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0) << "the bridge must survive a full log disk";
  std::string err = bridge.stderrBytes();
  EXPECT_THAT(err, HasSubstr("[cmd] незнакомая команда: «» в строке: filler line 39\r\n"));
  EXPECT_THAT(err, HasSubstr("[cmd] незнакомая команда: «» в строке: the last line\r\n"));
  // The file holds what fitted: the start of the same lines, nothing else.
  std::string log = bridge.logBytes();
  EXPECT_LE(log.size(), 1024u);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(err.compare(0, log.size() - 3, log, 3), 0);
}

std::string repeat(const std::string& piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// Lines of several megabytes in the shapes that cost a careless reader or scanner the most
// (a pass that went back over the line for each quote or escape would take hours): each is
// read and parsed once, and the bridge serves the next command at once.
TEST(HostFaults, HugeLinesOfEveryShapeAreReadOnceAndTheBridgeGoesOn) {
  constexpr size_t size = 4u << 20;
  const std::vector<std::pair<std::string, std::string>> lines = {
      {"quotes", std::string(size, '"')},
      {"escapedQuotes", R"({"t":")" + repeat(R"(\")", size / 2) + R"("})"},
      {"noQuote", std::string(size, '{')},
      {"repeatedKeys", "{" + repeat(R"("k":1,)", size / 6) + R"("t":"nope"})"},
      {"backslashesToTheEnd", R"({"t":")" + std::string(size, '\\')},
      {"backslashesThenAQuote", R"({"t":")" + std::string(size, '\\') + R"("})"},
      {"sendWithoutAlphabet", R"({"t":"send","b64":")" + std::string(size, '-') + R"("})"},
  };
  BridgeProcess bridge({.world = "device A4:50:46:12:34:56\n"});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(connectPhone);
  ASSERT_EQ(bridge.nextEvent(), connected);
  for (const auto& [name, line] : lines) {
    SCOPED_TRACE(name);
    bridge.send(line);
    // Nothing from the huge line itself; the next send echoes.
    expectEchoWorks(bridge, false);
  }
  bridge.send(R"({"t":"disconnect"})");
  EXPECT_EQ(bridge.nextEvent(), closed);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  // Compared line by line: a failure must not print megabytes.
  const std::string unknown = "[cmd] незнакомая команда: «";
  int unknownLines = 0;
  bool noQuoteLine = false, repeatedKeysLine = false;
  for (const auto& l : bridge.logLines()) {
    unknownLines += l.rfind(unknown, 0) == 0;
    noQuoteLine |= l == unknown + "» в строке: " + std::string(120, '{');
    repeatedKeysLine |= l == unknown + "nope» в строке: {" + repeat(R"("k":1,)", 19) + R"("k":1)";
  }
  EXPECT_EQ(unknownLines, 6);
  EXPECT_TRUE(noQuoteLine);
  EXPECT_TRUE(repeatedKeysLine);
}

TEST(HostFaults, SendOfSeveralMegabytesInOneLineArrivesWhole) {
  BridgeProcess bridge({.world = "device A4:50:46:12:34:56\n"});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(connectPhone);
  ASSERT_EQ(bridge.nextEvent(), connected);
  std::string bytes(6 << 20, '\0');
  uint32_t x = 12345;
  for (char& c : bytes) c = static_cast<char>((x = x * 1103515245 + 12345) >> 23);
  bridge.send(send(bytes));  // an 8 MB command line
  std::string echoed;
  while (echoed.size() < bytes.size()) {
    auto e = bridge.nextEvent(60s);
    ASSERT_TRUE(e) << "echo stalled at " << echoed.size();
    auto chunk = wire::dataBytes(*e);
    ASSERT_TRUE(chunk) << e->substr(0, 100);
    ASSERT_LE(chunk->size(), 4096u);
    echoed += *chunk;
  }
  EXPECT_TRUE(echoed == bytes) << "the echo differs from what was sent";
  bridge.send(R"({"t":"disconnect"})");
  EXPECT_EQ(bridge.nextEvent(), closed);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

}  // namespace
