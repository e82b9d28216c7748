// Connect, receive, send and disconnect, seen by a host, against simulated and live phones.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/wire.h"
#include "harness/bridge_process.h"
#include "harness/live_phone.h"

using harness::BridgeProcess;
using harness::LivePhone;
using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::ElementsAreArray;

namespace {

using wire::closed;
using wire::ready;
using wire::writeFailed;

const std::string phoneA = "A4:50:46:12:34:56";
const std::string phoneB = "A4:50:46:65:43:21";
const std::string noDevice =
    R"({"t":"error","error":"Windows не видит этот телефон — включи видимость на роботе и найди заново"})";
const std::string noDeviceClosed = R"({"t":"closed","reason":"нет устройства"})";
const std::string noService =
    R"({"t":"error","error":"телефон не предлагает последовательную службу. Открой на нём приложение робота и оставь его на экране, потом повтори"})";
const std::string noServiceClosed = R"({"t":"closed","reason":"нет службы SPP"})";
const std::string openFailed = R"({"t":"closed","reason":"не удалось открыть соединение"})";

using wire::connectCommand;
using wire::connected;
using wire::disconnect;
using wire::world;

std::string errorEvent(const std::string& escaped) {
  return R"({"t":"error","error":")" + escaped + R"("})";
}
std::string sendCommand(const std::string& b64) {
  return R"({"t":"send","b64":")" + b64 + R"("})";
}
std::string world(const std::string& lines) {
  return world({{phoneA, lines}});
}

std::vector<std::string> connectLog(const BridgeProcess& bridge) {
  std::vector<std::string> lines;
  for (auto& line : bridge.logLines())
    if (line.rfind("[connect] ", 0) == 0) lines.push_back(line);
  return lines;
}

// ---- Outcomes of a connect ---------------------------------------------------------------

struct OutcomeCase {
  const char* name;
  std::string world;
  std::string addr;
  std::vector<std::string> events;
  std::vector<std::string> log;
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const OutcomeCase& c, std::ostream* os) {
  *os << c.name;
}

class ConnectOutcome : public testing::TestWithParam<OutcomeCase> {};

const std::string requested = "[connect] запрошено соединение с ";
const std::string gotDevice = "[connect] устройство получено, ищу последовательную службу";
const std::string fromCache = "[connect] найдено служб (из кеша): ";
const std::string askAgain = "[connect] в кеше служб нет — переспрашиваю телефон напрямую";
const std::string fromPhone = "[connect] найдено служб (с телефона): ";
const std::string opened = "[connect] сокет открыт";
const std::string exception = "[connect] исключение: ";

TEST_P(ConnectOutcome, GivesExactlyItsEventsAndLogLines) {
  const auto& c = GetParam();
  BridgeProcess bridge({.world = c.world});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(connectCommand(c.addr));
  std::vector<std::string> events;
  for (size_t i = 0; i < c.events.size(); ++i)
    if (auto e = bridge.nextEvent()) events.push_back(*e);
  EXPECT_THAT(events, ElementsAreArray(c.events));
  // Nothing more follows while the connection (if any) stays open.
  EXPECT_THAT(bridge.drainEvents(300ms), testing::IsEmpty());
  EXPECT_THAT(connectLog(bridge), ElementsAreArray(c.log));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

const std::string refusedText =
    "No connection could be made because the target machine actively refused it. (0x8007274D)";

INSTANTIATE_TEST_SUITE_P(
    Table, ConnectOutcome,
    testing::Values(
        OutcomeCase{"unknownAddress",
                    world(""),
                    "00:11:22:33:44:55",
                    {noDevice, noDeviceClosed},
                    {requested + "00:11:22:33:44:55"}},
        OutcomeCase{"fromIdWithoutDevice",
                    world("from-id none\n"),
                    phoneA,
                    {noDevice, noDeviceClosed},
                    {requested + phoneA}},
        OutcomeCase{"noServiceAfterBothLookups",
                    world("services-cached 0\nservices-uncached 0\n"),
                    phoneA,
                    {noService, noServiceClosed},
                    {requested + phoneA, gotDevice, fromCache + "0", askAgain, fromPhone + "0"}},
        OutcomeCase{"cachedOne",
                    world("services-cached 1\nservices-uncached 0\n"),
                    phoneA,
                    {connected(phoneA)},
                    {requested + phoneA, gotDevice, fromCache + "1", opened}},
        // Only the first service listed has the application behind it.
        OutcomeCase{
            "deviceListsTwoAfterEmptyCache",
            world("services-cached 0\nservices-uncached 2\n"),
            phoneA,
            {connected(phoneA)},
            {requested + phoneA, gotDevice, fromCache + "0", askAgain, fromPhone + "2", opened}},
        OutcomeCase{"cachedFiveUsesTheFirst",
                    world("services-cached 5\n"),
                    phoneA,
                    {connected(phoneA)},
                    {requested + phoneA, gotDevice, fromCache + "5", opened}},
        OutcomeCase{"refusedConnect",
                    world("connect refuse 0x8007274D\n"),
                    phoneA,
                    {R"({"t":"error","error":")" + refusedText + R"("})", openFailed},
                    {requested + phoneA, gotDevice, fromCache + "1", exception + refusedText}},
        OutcomeCase{
            "cachedLookupFails",
            world("services-cached error 0x80070079\n"),
            phoneA,
            {errorEvent("The semaphore timeout period has expired. (0x80070079)"), openFailed},
            {requested + phoneA, gotDevice,
             exception + "The semaphore timeout period has expired. (0x80070079)"}},
        OutcomeCase{"deviceLookupFails",
                    world("services-cached 0\nservices-uncached error 0x8007048F\n"),
                    phoneA,
                    {errorEvent("The device is not connected. (0x8007048F)"), openFailed},
                    {requested + phoneA, gotDevice, fromCache + "0", askAgain,
                     exception + "The device is not connected. (0x8007048F)"}},
        // A lookup that could not ask is no phone without the service.
        OutcomeCase{"uncachedLookupMeetsNoPhone",
                    "page-timeout-ms 50\n" + world("in-range no\nservices-cached 0\n"),
                    phoneA,
                    {errorEvent("The device is not connected. (0x8007048F)"), openFailed},
                    {requested + phoneA, gotDevice, fromCache + "0", askAgain,
                     exception + "The device is not connected. (0x8007048F)"}},
        OutcomeCase{"fromIdFailsWithQuotedMessage",
                    "message 0x80004005 \"Сбой \\\"радио\\\"\\r\\n\"\n" +
                        world("from-id error 0x80004005\n"),
                    phoneA,
                    {errorEvent(R"(Сбой \"радио\" (0x80004005))"), openFailed},
                    {requested + phoneA, exception + "Сбой \"радио\" (0x80004005)"}},
        OutcomeCase{"outputStreamFails",
                    world("output-stream-error 0x80070005\n"),
                    phoneA,
                    {errorEvent("Access is denied. (0x80070005)"), openFailed},
                    {requested + phoneA, gotDevice, fromCache + "1",
                     exception + "Access is denied. (0x80070005)"}},
        OutcomeCase{"writerFails",
                    world("writer-error 0x80004005\n"),
                    phoneA,
                    {errorEvent("Unspecified error (0x80004005)"), openFailed},
                    {requested + phoneA, gotDevice, fromCache + "1",
                     exception + "Unspecified error (0x80004005)"}},
        // The host's own text, escaped, not a normalised address.
        OutcomeCase{"addressTextIsEchoedEscaped",
                    world(""),
                    "a4:50:46:12:34:56 \\\"п\\\"",
                    {connected("a4:50:46:12:34:56 \\\"п\\\"")},
                    {requested + "a4:50:46:12:34:56 \"п\"", gotDevice, fromCache + "1", opened}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Receiving ---------------------------------------------------------------------------

// Opens a connection to phone A and checks the connected event.
void open(BridgeProcess& bridge, const std::string& addr = phoneA) {
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(connectCommand(addr));
  ASSERT_EQ(bridge.waitEvent("\"connected\""), connected(addr));
}

TEST(Receive, EchoRoundTripsAndASingleByteGivesQQ) {
  BridgeProcess bridge({.world = world("phone echo\n")});
  open(bridge);
  bridge.send(sendCommand("QQ=="));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"QQ=="})");
  bridge.send(sendCommand("QUJD"));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"QUJD"})");
  bridge.send(disconnect);
  EXPECT_EQ(bridge.nextEvent(), closed);
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
}

TEST(Receive, BurstArrivesInLoadsOfAtMost4096ThatJoinToTheSameBytes) {
  BridgeProcess bridge({.world = world("phone silent\nphone-burst 10000\nphone-send \"Z\"\n")});
  open(bridge);
  std::string joined;
  int events = 0;
  while (joined.size() < 10001) {
    auto e = bridge.nextEvent();
    ASSERT_TRUE(e);
    auto bytes = wire::dataBytes(*e);
    ASSERT_TRUE(bytes) << *e;
    EXPECT_FALSE(bytes->empty());
    EXPECT_LE(bytes->size(), 4096u);
    joined += *bytes;
    ++events;
  }
  EXPECT_GE(events, 3);
  std::string expected;
  for (int i = 0; i < 10000; ++i) expected += static_cast<char>(i % 251);
  EXPECT_EQ(joined, expected + "Z");
}

TEST(Receive, PhoneClosingGivesClosedAfterItsLastDataAndEmptiesTheState) {
  BridgeProcess bridge(
      {.world = world("phone silent\nphone-send \"hi\"\nphone-wait 50\nphone-close\n")});
  open(bridge);
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"aGk="})");
  EXPECT_EQ(bridge.nextEvent(), closed);
  bridge.send(sendCommand("QUJD"));
  bridge.send(disconnect);
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(Receive, DroppedLinkGivesClosedAndNoError) {
  BridgeProcess bridge({.world = world("phone silent\nphone-wait 100\nphone-drop\n")});
  open(bridge);
  EXPECT_EQ(bridge.nextEvent(), closed);
  bridge.send(sendCommand("QUJD"));
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
}

TEST(Receive, DisconnectWhileALoadWaitsGivesClosedAndNoError) {
  BridgeProcess bridge({.world = world("phone silent\n")});
  open(bridge);
  bridge.send(disconnect);
  bridge.send(sendCommand("QUJD"));  // right after: nothing to write to
  bridge.send(disconnect);
  EXPECT_EQ(bridge.nextEvent(), closed);
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

// ---- Sending -----------------------------------------------------------------------------

TEST(Send, WithNoConnectionDoesNothing) {
  BridgeProcess bridge({.world = world("")});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(sendCommand("QUJD"));
  bridge.send(disconnect);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(bridge.stdoutBytes(), ready + "\r\n");
  EXPECT_THAT(connectLog(bridge), testing::IsEmpty());
}

TEST(Send, WritesOnlyDecodedBytesToALivePhone) {
  LivePhone phone;
  BridgeProcess bridge({.world = world(phone.worldLines())});
  open(bridge);
  ASSERT_TRUE(phone.accept());
  bridge.send(sendCommand(""));
  bridge.send(sendCommand("-_-_"));
  bridge.send(R"({"t":"send"})");
  bridge.send(sendCommand("QUJD RA=="));
  EXPECT_EQ(phone.read(4), "ABCD");
  EXPECT_EQ(phone.read(1, 200ms), "");
  // What the phone writes reaches the host.
  ASSERT_TRUE(phone.write("\x01\xff"));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"Af8="})");
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
}

TEST(Send, FailedStoreGivesOnlyTheWriteFailedError) {
  BridgeProcess bridge({.world = world("phone echo\nstore-error 0x80072745 after-bytes 3\n")});
  open(bridge);
  bridge.send(sendCommand("QUJD"));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"QUJD"})");
  bridge.send(sendCommand("QUJD"));
  EXPECT_EQ(bridge.nextEvent(), writeFailed);
  // The connection stays: the next failure is reported the same way, and no closed comes.
  bridge.send(sendCommand("QQ=="));
  EXPECT_EQ(bridge.nextEvent(), writeFailed);
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
  EXPECT_THAT(connectLog(bridge).back(), opened);
}

TEST(Send, ManySendsInARowArriveCompleteAndInOrder) {
  LivePhone phone;
  BridgeProcess bridge({.world = world(phone.worldLines())});
  open(bridge);
  ASSERT_TRUE(phone.accept());
  std::string expected, commands;
  for (int i = 0; i < 3000; ++i) {
    std::string chunk = "<" + std::to_string(i) + ">";
    expected += chunk;
    commands += sendCommand(wire::base64(chunk)) + "\n";
  }
  std::string got;
  std::thread reader([&] { got = phone.read(expected.size(), 60s); });
  bridge.sendRaw(commands);  // all at once: stores overlap unless the bridge queues them
  reader.join();
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
}

// A phone slow to read fills its socket: a store that finds no room for all its bytes
// finishes later, the sends behind it wait their turn, and every byte arrives once, in
// order, with no error. The first send alone is more than the socket holds.
TEST(Send, APhoneSlowToReadStillGetsEveryByteInOrder) {
  LivePhone phone;
  BridgeProcess bridge({.world = world(phone.worldLines())});
  open(bridge);
  ASSERT_TRUE(phone.accept());
  std::string expected, commands;
  for (size_t size : {size_t{1} << 20, size_t{3072}, size_t{3072}, size_t{65536}, size_t{1}}) {
    for (int repeat = 0; repeat < 20; ++repeat) {
      std::string chunk(size, '\0');
      for (size_t j = 0; j < size; ++j) chunk[j] = static_cast<char>((expected.size() + j) % 253);
      expected += chunk;
      commands += sendCommand(wire::base64(chunk)) + "\n";
    }
  }
  std::string got;
  std::thread reader([&] {
    std::this_thread::sleep_for(300ms);
    got = phone.read(expected.size(), 60s);
  });
  bridge.sendRaw(commands);
  reader.join();
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
}

TEST(Send, BytesEchoedInBulkComeBackWhole) {
  BridgeProcess bridge({.world = world("phone echo\n")});
  open(bridge);
  std::string expected, commands;
  for (int i = 0; i < 500; ++i) {
    std::string chunk(1 + i % 97, static_cast<char>(i));
    expected += chunk;
    commands += sendCommand(wire::base64(chunk)) + "\n";
  }
  bridge.sendRaw(commands);
  std::string joined;
  while (joined.size() < expected.size()) {
    auto e = bridge.nextEvent();
    ASSERT_TRUE(e);
    auto bytes = wire::dataBytes(*e);
    ASSERT_TRUE(bytes) << *e;
    joined += *bytes;
  }
  EXPECT_TRUE(joined == expected);
}

// ---- Ending and replacing connections ----------------------------------------------------

TEST(Lifecycle, EndOfInputWithAConnectionOpenClosesItAndExitsZero) {
  LivePhone phone;
  BridgeProcess bridge({.world = world(phone.worldLines())});
  open(bridge);
  ASSERT_TRUE(phone.accept());
  bridge.closeInput();
  EXPECT_TRUE(phone.seesEnd());
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(Lifecycle, LivePhoneHangingUpGivesClosed) {
  LivePhone phone;
  BridgeProcess bridge({.world = world(phone.worldLines())});
  open(bridge);
  ASSERT_TRUE(phone.accept());
  phone.write("bye");
  phone.close();
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"Ynll"})");
  EXPECT_EQ(bridge.nextEvent(), closed);
}

TEST(Lifecycle, SecondConnectReplacesTheFirstWithoutMixingAndOneClosedInTheEnd) {
  LivePhone first, second;
  BridgeProcess bridge(
      {.world = world({{phoneA, first.worldLines()}, {phoneB, second.worldLines()}})});
  open(bridge, phoneA);
  ASSERT_TRUE(first.accept());
  // The first phone talks without pause while the second connection opens.
  std::atomic<bool> stop{false};
  std::thread chatter([&] {
    while (!stop && first.write(std::string(64, 'a'))) std::this_thread::sleep_for(1ms);
  });
  bridge.send(connectCommand(phoneB));
  std::vector<std::string> before;
  for (;;) {
    auto e = bridge.nextEvent();
    ASSERT_TRUE(e);
    if (*e == connected(phoneB)) break;
    before.push_back(*e);
  }
  ASSERT_TRUE(second.accept());
  EXPECT_TRUE(first.seesEnd());  // the bridge hung up on the first phone
  stop = true;
  chatter.join();
  for (const auto& e : before) EXPECT_TRUE(wire::dataBytes(e)) << e;
  second.write("bbbb");
  auto e = bridge.nextEvent();
  ASSERT_TRUE(e);
  EXPECT_EQ(*e, R"({"t":"data","b64":"YmJiYg=="})");  // no byte of the first phone after this
  bridge.send(sendCommand("QUJD"));
  EXPECT_EQ(second.read(3), "ABC");
  bridge.send(disconnect);
  EXPECT_EQ(bridge.nextEvent(), closed);
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
}

TEST(Lifecycle, FailedPublicationLeavesTheEarlierConnectionWorking) {
  BridgeProcess bridge(
      {.world = world({{phoneA, "phone echo\n"}, {phoneB, "output-stream-error 0x80070005\n"}})});
  open(bridge, phoneA);
  bridge.send(connectCommand(phoneB));
  EXPECT_EQ(bridge.nextEvent(), errorEvent("Access is denied. (0x80070005)"));
  EXPECT_EQ(bridge.nextEvent(), openFailed);
  bridge.send(sendCommand("QUJD"));
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"data","b64":"QUJD"})");
  bridge.send(disconnect);
  EXPECT_EQ(bridge.nextEvent(), closed);
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
}

// Disconnects land anywhere between a connect's publication and its loop's first step.
TEST(Lifecycle, RapidConnectsAndDisconnectsNeverCloseMoreThanTheyOpened) {
  BridgeProcess bridge({.world = world("phone echo\nconnect-delay-ms 0\n")});
  ASSERT_EQ(bridge.nextEvent(), ready);
  std::string commands;
  for (int i = 0; i < 40; ++i) {
    commands += connectCommand(phoneA) + "\n";
    if (i % 3 != 0) commands += disconnect + "\n";
  }
  bridge.sendRaw(commands);
  std::vector<std::string> events;
  int opened = 0, ended = 0;
  // Every connect succeeds; a disconnect once all have closes whatever is still open.
  auto take = [&] {
    auto e = bridge.nextEvent();
    if (!e) return false;
    events.push_back(*e);
    if (*e == connected(phoneA))
      ++opened;
    else if (*e == closed)
      EXPECT_LE(++ended, opened);
    else
      ADD_FAILURE() << *e;
    return true;
  };
  while (opened < 40) ASSERT_TRUE(take()) << "only " << opened << " connected";
  bridge.send(disconnect);
  while (events.back() != closed) ASSERT_TRUE(take()) << "no closed after the last connected";
  for (const auto& e : bridge.drainEvents()) ADD_FAILURE() << e;
  bridge.send(sendCommand("QUJD"));  // nothing is left open
  EXPECT_THAT(bridge.drainEvents(), testing::IsEmpty());
}

}  // namespace
