// Hosts as they really are: JSON encoders that escape ordinary characters, and hosts that stop
// reading events for a while, or for good, while the phone streams.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/wire.h"
#include "harness/bridge_process.h"
#include "harness/live_phone.h"

using harness::BridgeProcess;
using harness::LivePhone;
using namespace std::chrono_literals;

namespace {

const std::string phoneA = "A4:50:46:12:34:56";
const std::string phoneB = "A4:50:46:65:43:21";

using wire::connectCommand;
using wire::connected;
using wire::disconnect;
using wire::world;

void open(BridgeProcess& bridge, const std::string& addr) {
  ASSERT_EQ(bridge.nextEvent(), wire::ready);
  bridge.send(connectCommand(addr));
  ASSERT_EQ(bridge.waitEvent("\"connected\""), connected(addr));
}

// A phone that writes without pause until the bridge hangs up or the test stops it.
class Chatter {
 public:
  explicit Chatter(LivePhone& phone)
      : thread_([this, fd = phone.fd()] {
          const std::string chunk(4096, 'a');
          while (!stop_) {
            pollfd room{fd, POLLOUT, 0};
            if (::poll(&room, 1, 50) != 1) continue;
            if (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
                errno != EAGAIN && errno != EINTR)
              break;
          }
        }) {}
  ~Chatter() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---- Escapes a host's JSON encoder writes -------------------------------------------------

// The bytes FB FF BF 68 69 are "+/+/aGk=" in base64: a plus, a slash and the pad, which
// encoders escape in their own ways.
const std::string bytes = "\xFB\xFF\xBFhi";

struct EncoderCase {
  const char* name;
  std::string line;
};
void PrintTo(const EncoderCase& c, std::ostream* os) {
  *os << c.name;
}

class EscapedSend : public testing::TestWithParam<EncoderCase> {};

TEST_P(EscapedSend, ReachesThePhoneByteExact) {
  BridgeProcess bridge({.world = world({{phoneA, "phone echo\n"}})});
  open(bridge, phoneA);
  bridge.send(GetParam().line);
  auto event = bridge.nextEvent();
  ASSERT_TRUE(event);
  EXPECT_EQ(wire::dataBytes(*event), bytes) << *event;
  bridge.send(disconnect);
  EXPECT_EQ(bridge.nextEvent(), wire::closed);
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, EscapedSend,
    testing::Values(EncoderCase{"plain", R"({"t":"send","b64":"+/+/aGk="})"},
                    EncoderCase{"gsonLike", R"({"t":"send","b64":"+/+/aGk\u003d"})"},
                    EncoderCase{"dotNetLike", R"({"t":"send","b64":"\u002B/\u002B/aGk\u003D"})"},
                    EncoderCase{"slashesEscaped",
                                R"({"t":"send","b64":"\u002b\/\u002b\/aGk\u003d"})"},
                    EncoderCase{"everythingEscaped",
                                R"({"\u0074":"\u0073\u0065\u006e\u0064","\u0062\u0036\u0034":)"
                                R"("\u002B\u002F\u002B\u002F\u0061\u0047\u006B\u003D"})"},
                    EncoderCase{"commandNameEscaped", R"({"t":"s\u0065nd","b64":"+\/+\/aGk="})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EscapedCommand, IsThatCommand) {
  LivePhone phone;
  BridgeProcess bridge({.world = world({{phoneA, phone.worldLines()}})});
  ASSERT_EQ(bridge.nextEvent(), wire::ready);
  bridge.send(R"({"t":"c\u006fnnect","addr":"A4:50:46:12:34:56"})");
  EXPECT_EQ(bridge.nextEvent(), connected(phoneA));
  ASSERT_TRUE(phone.accept());
  bridge.send(R"({"t":"disc\u006Fnnect"})");
  EXPECT_TRUE(phone.seesEnd());
  EXPECT_EQ(bridge.nextEvent(), wire::closed);
  EXPECT_THAT(bridge.logLines(), testing::Not(testing::Contains(testing::HasSubstr("[cmd]"))));
}

// ---- A host that stops reading ------------------------------------------------------------

TEST(SlowHost, EndOfInputEndsTheBridgeSoonWhileNobodyReadsItsEvents) {
  LivePhone phone;
  BridgeProcess bridge({.world = world({{phoneA, phone.worldLines()}})});
  open(bridge, phoneA);
  ASSERT_TRUE(phone.accept());
  Chatter chatter(phone);
  ASSERT_TRUE(bridge.nextEvent());  // the phone's bytes flow
  bridge.pauseOutput();
  std::this_thread::sleep_for(500ms);  // standard output fills up and stays full
  auto start = std::chrono::steady_clock::now();
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(15s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // What the host reads afterwards is whole events, up to the last one whose write was cut
  // short by the end of the process.
  for (const auto& line : harness::splitCrlf(bridge.stdoutBytes())) {
    if (line != wire::ready && line != connected(phoneA)) {
      ASSERT_TRUE(wire::dataBytes(line)) << line.substr(0, 80);
    }
  }
}

TEST(SlowHost, CommandsAreCarriedOutWhileNobodyReadsAndANewConnectReplacesTheOld) {
  LivePhone first, second;
  BridgeProcess bridge(
      {.world = world({{phoneA, first.worldLines()}, {phoneB, second.worldLines()}})});
  open(bridge, phoneA);
  ASSERT_TRUE(first.accept());
  {
    Chatter chatter(first);
    ASSERT_TRUE(bridge.nextEvent());
    bridge.pauseOutput();
    std::this_thread::sleep_for(500ms);
    bridge.send(connectCommand(phoneB));
    ASSERT_TRUE(second.accept());
    EXPECT_TRUE(bridge.waitLog("[connect] сокет открыт"));
    EXPECT_TRUE(first.seesEnd());  // the bridge hung up on the first phone
  }
  // Still nobody reads: sends and a disconnect go through all the same.
  bridge.send(wire::send("ABC"));
  bridge.send(wire::send("DEF"));
  EXPECT_EQ(second.read(6, 5s), "ABCDEF");
  bridge.send(disconnect);
  EXPECT_TRUE(second.seesEnd(5s));

  // The host reads again: the first phone's data, then the second connection, its end, and
  // nothing of the first phone after it.
  bridge.resumeOutput();
  std::vector<std::string> after;
  bool seen = false;
  for (;;) {
    auto e = bridge.nextEvent(2s);
    if (!e) break;
    if (seen)
      after.push_back(*e);
    else if (*e == connected(phoneB))
      seen = true;
    else
      ASSERT_TRUE(wire::dataBytes(*e)) << e->substr(0, 80);
  }
  EXPECT_TRUE(seen);
  EXPECT_THAT(after, testing::ElementsAre(wire::closed));
}

TEST(SlowHost, SendsQueuedOnAReplacedConnectionEndQuietly) {
  LivePhone first, second;
  BridgeProcess bridge(
      {.world = world({{phoneA, first.worldLines()}, {phoneB, second.worldLines()}})});
  open(bridge, phoneA);
  ASSERT_TRUE(first.accept());
  // The first phone reads nothing: its socket fills, a store waits, and the sends behind it
  // wait for their turn.
  const std::string block(48 * 1024, 'x');
  for (int i = 0; i < 40; ++i) bridge.send(wire::send(block));
  ASSERT_TRUE(first.read(1).size() == 1);
  bridge.send(connectCommand(phoneB));
  ASSERT_TRUE(second.accept());
  EXPECT_TRUE(first.seesEnd());
  auto events = bridge.drainEvents(1s);
  bridge.send(wire::send("ABC"));
  EXPECT_EQ(second.read(3), "ABC");
  bridge.send(disconnect);
  EXPECT_EQ(bridge.nextEvent(), wire::closed);
  auto rest = bridge.drainEvents();
  events.insert(events.end(), rest.begin(), rest.end());
  EXPECT_THAT(events, testing::Contains(connected(phoneB)));
  EXPECT_THAT(events, testing::Not(testing::Contains(wire::writeFailed)));
}

// ---- A host that never reads standard error ----------------------------------------------

// Lines of unknown commands: each logs about five times its own length.
std::string unknownCommands(int from, int count) {
  std::string lines;
  for (int i = from; i < from + count; ++i) lines += R"({"t":"nope)" + std::to_string(i) + "\"}\n";
  return lines;
}

TEST(SlowHost, CommandsGoOnWhileNobodyReadsStandardError) {
  BridgeProcess bridge({.world = world({{phoneA, "phone echo\n"}})});
  ASSERT_EQ(bridge.nextEvent(), wire::ready);
  bridge.pauseErrors();
  // More log than the pipe and a host's read buffer hold, from less input than a pipe holds.
  bridge.sendRaw(unknownCommands(0, 2500));
  bridge.send(connectCommand(phoneA));
  ASSERT_EQ(bridge.waitEvent("\"connected\""), connected(phoneA));
  // Far beyond what the bridge keeps for standard error.
  for (int from = 2500; from < 7500; from += 1000) bridge.sendRaw(unknownCommands(from, 1000));
  bridge.send(wire::send("ABC"));
  auto echo = bridge.waitEvent("\"data\"");
  ASSERT_TRUE(echo);
  EXPECT_EQ(wire::dataBytes(*echo), "ABC");
  bridge.send(disconnect);
  EXPECT_EQ(bridge.waitEvent("\"closed\""), wire::closed);
  auto start = std::chrono::steady_clock::now();
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(15s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  // The file has every line; standard error whole lines in the file's order, some left out.
  auto log = bridge.logLines();
  auto unknown = std::count_if(log.begin(), log.end(), [](const std::string& line) {
    return line.starts_with("[cmd] незнакомая команда: «nope");
  });
  EXPECT_EQ(unknown, 7500);
  auto errors = harness::splitCrlf(bridge.stderrBytes());
  EXPECT_LT(errors.size(), log.size());
  size_t at = 0;
  for (const auto& line : errors) {
    while (at < log.size() && log[at] != line) ++at;
    ASSERT_LT(at, log.size()) << "not in the log, or out of order: " << line.substr(0, 80);
    ++at;
  }
}

}  // namespace
