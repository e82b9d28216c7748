// What robots' phones do to a running bridge, steered through the world's control channel: a
// phone switched off (or out of range) in the middle of a transfer, and a second phone right
// after the first.
#include <map>
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

namespace {

using wire::closed;
using wire::connectCommand;
using wire::connected;
using wire::ready;
using wire::send;
using wire::writeFailed;

const std::string phoneA = "A4:50:46:12:34:56";
const std::string phoneB = "A4:50:46:65:43:21";
const std::string openFailed = R"({"t":"closed","reason":"не удалось открыть соединение"})";

std::string burstBytes(size_t count) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(i % 251);
  return bytes;
}

// A send of these bytes comes back from the echo phone.
void expectEcho(BridgeProcess& bridge, const std::string& bytes) {
  bridge.send(send(bytes));
  auto event = bridge.waitEvent("\"data\"");
  ASSERT_TRUE(event) << "no echo";
  EXPECT_EQ(wire::dataBytes(*event), bytes);
}

TEST(PhoneLost, MidStreamDeliversWhatArrivedClosesOnceAndConnectsAgainOnceBack) {
  ControlChannel control;
  constexpr size_t burst = 8 << 20;
  BridgeProcess bridge(
      {.world = control.worldLine() + "page-timeout-ms 300\n" +
                wire::world({{phoneA, "phone-burst " + std::to_string(burst) + "\n"}})});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(connectCommand(phoneA));
  ASSERT_EQ(bridge.nextEvent(), connected(phoneA));
  // The burst is whole on the bridge's side once its first bytes show. The host then stops
  // reading, so the bytes pile up there, and keeps sending to the echo phone meanwhile.
  auto first = bridge.nextEvent();
  ASSERT_TRUE(first && wire::dataBytes(*first)) << first.value_or("no data");
  bridge.pauseOutput();
  std::string sent;
  constexpr int sends = 64;
  for (int i = 0; i < sends; ++i) {
    std::string chunk(1000, static_cast<char>('a' + i % 26));
    sent += chunk;
    bridge.send(send(chunk));
  }
  // Commands are taken in order: once this one is logged, every send is under way.
  bridge.send(R"({"t":"barrier"})");
  ASSERT_TRUE(bridge.waitLog("«barrier»"));
  ASSERT_EQ(control.send("phone " + phoneA + " off"), "ok");
  bridge.resumeOutput();

  // All that reached the bridge comes out, in order: the burst, then the echo of what the
  // phone took; then one closed event. Each send either came back or failed.
  std::string received = *wire::dataBytes(*first);
  int failed = 0;
  for (;;) {
    auto event = bridge.nextEvent();
    ASSERT_TRUE(event) << "no closed event";
    if (*event == closed) break;
    if (auto bytes = wire::dataBytes(*event))
      received += *bytes;
    else if (*event == writeFailed)
      ++failed;
    else
      ADD_FAILURE() << "unexpected: " << *event;
  }
  for (const auto& event : bridge.drainEvents()) {
    EXPECT_EQ(event, writeFailed);
    ++failed;
  }
  ASSERT_GE(received.size(), burst);
  EXPECT_TRUE(received.compare(0, burst, burstBytes(burst)) == 0) << "the burst came out changed";
  std::string echoed = received.substr(burst);
  EXPECT_EQ(echoed, sent.substr(0, echoed.size()));
  EXPECT_EQ(echoed.size() + failed * 1000u, sent.size());

  // Afterwards a send has no connection to go to, and a connect meets an unanswered page.
  bridge.send(send("gone"));
  EXPECT_EQ(bridge.drainEvents(), std::vector<std::string>{});
  bridge.send(connectCommand(phoneA));
  auto error = bridge.nextEvent();
  ASSERT_TRUE(error);
  EXPECT_THAT(*error, HasSubstr("(0x8007274C)"));
  EXPECT_EQ(bridge.nextEvent(), openFailed);

  ASSERT_EQ(control.send("phone " + phoneA + " on"), "ok");
  bridge.send(connectCommand(phoneA));
  ASSERT_EQ(bridge.waitEvent("\"connected\""), connected(phoneA));
  bridge.pauseOutput();  // the new connection's burst is not what this checks
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(PhoneLost, PairingWithAPhoneOutOfRangeFailsOnceThePageTimesOut) {
  ControlChannel control;
  BridgeProcess bridge({.world = control.worldLine() + "page-timeout-ms 300\n" +
                                 wire::world({{phoneA, "  in-range no\n"}})});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(R"({"t":"pair","addr":")" + phoneA + R"("})");
  auto result = bridge.nextEvent();
  ASSERT_TRUE(result);
  EXPECT_THAT(*result, HasSubstr(R"("t":"pair-result","addr":")" + phoneA + R"(","ok":false)"));
  ASSERT_EQ(control.send("phone " + phoneA + " on"), "ok");
  bridge.send(R"({"t":"pair","addr":")" + phoneA + R"("})");
  EXPECT_EQ(bridge.waitEvent("pair-result"),
            R"({"t":"pair-result","addr":")" + phoneA + R"(","ok":true})");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

// Disconnect one phone and at once pair and connect another: the second phone's connection
// carries its own bytes only, after the first phone's one closed event.
TEST(SecondPhone, RightAfterTheFirstPairsConnectsAndCarriesItsOwnBytes) {
  BridgeProcess bridge({.world = wire::world({{phoneA, ""}, {phoneB, "pin \"111222\"\n"}})});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(connectCommand(phoneA));
  ASSERT_EQ(bridge.nextEvent(), connected(phoneA));
  expectEcho(bridge, "first phone");
  bridge.send(wire::disconnect);
  bridge.send(R"({"t":"pair","addr":")" + phoneB + R"("})");
  bridge.send(connectCommand(phoneB));
  std::vector<std::string> events;
  while (events.size() < 4) {
    auto event = bridge.nextEvent();
    ASSERT_TRUE(event) << "only " << events.size() << " events";
    events.push_back(*event);
  }
  EXPECT_EQ(events[0], closed);
  EXPECT_THAT(
      std::vector(events.begin() + 1, events.end()),
      testing::UnorderedElementsAre(R"({"t":"pairing-code","code":"111222"})",
                                    R"({"t":"pair-result","addr":")" + phoneB + R"(","ok":true})",
                                    connected(phoneB)));
  expectEcho(bridge, "second phone");
  EXPECT_EQ(bridge.drainEvents(), std::vector<std::string>{});
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

// Protocol 2: two phones' links at once; one phone goes and comes back while the other's link
// carries on untouched.
TEST(TwoPhones, OneLostTheOtherCarriesOnAndTheFirstConnectsAgainOnceBack) {
  ControlChannel control;
  BridgeProcess bridge({.world = control.worldLine() + wire::world({{phoneA, ""}, {phoneB, ""}})});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(R"({"t":"hello","protocol":2})");
  ASSERT_TRUE(bridge.waitEvent("hello"));
  int id = 0;
  auto connect = [&](const std::string& addr) {
    bridge.send(R"({"t":"connect","id":)" + std::to_string(++id) + R"(,"addr":")" + addr + R"("})");
    EXPECT_EQ(bridge.nextEvent(),
              R"({"t":"connected","id":)" + std::to_string(id) + R"(,"addr":")" + addr + R"("})");
  };
  // Sends to each phone in turn: every send acknowledged, each phone's echo on its own link,
  // in order (echoes that meet may share a data event).
  auto exchange = [&](const std::vector<std::string>& phones) {
    std::vector<std::string> acks, gotAcks;
    std::map<std::string, std::string> expected, got;
    for (const auto& addr : phones) {
      std::string bytes = "to " + addr + " #" + std::to_string(++id);
      bridge.send(R"({"t":"send","id":)" + std::to_string(id) + R"(,"addr":")" + addr +
                  R"(","b64":")" + wire::base64(bytes) + R"("})");
      acks.push_back(R"({"t":"sent","id":)" + std::to_string(id) + R"(,"addr":")" + addr +
                     R"(","bytes":)" + std::to_string(bytes.size()) + "}");
      expected[addr] += bytes;
    }
    auto pending = [&] {
      if (gotAcks.size() < acks.size()) return true;
      for (const auto& [addr, bytes] : expected)
        if (got[addr].size() < bytes.size()) return true;
      return false;
    };
    while (pending()) {
      auto event = bridge.nextEvent();
      ASSERT_TRUE(event) << "an acknowledgement or an echo is missing";
      static const std::string head = R"({"t":"data","addr":")";
      if (event->rfind(head, 0) != 0) {
        gotAcks.push_back(*event);
        continue;
      }
      std::string addr = event->substr(head.size(), phoneA.size());
      std::string b64 = event->substr(head.size() + addr.size() + 9);
      b64.resize(b64.size() - 2);
      ASSERT_EQ(event->substr(head.size() + addr.size(), 9), R"(","b64":")");
      got[addr] += wire::unbase64(b64).value_or("?");
    }
    EXPECT_THAT(gotAcks, testing::UnorderedElementsAreArray(acks));
    EXPECT_EQ(got, expected);
  };
  connect(phoneA);
  connect(phoneB);
  exchange({phoneA, phoneB, phoneA, phoneB});

  ASSERT_EQ(control.send("phone " + phoneA + " off"), "ok");
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"closed","addr":")" + phoneA +
                                    R"(","code":"LINK_LOST","reason":"соединение закрыто"})");
  bridge.send(R"({"t":"send","id":"late","addr":")" + phoneA + R"(","b64":"AA=="})");
  auto refused = bridge.nextEvent();
  ASSERT_TRUE(refused);
  EXPECT_THAT(*refused, HasSubstr(R"({"t":"error","id":"late",)"));
  EXPECT_THAT(*refused, HasSubstr(R"("code":"NOT_CONNECTED")"));
  exchange({phoneB, phoneB});

  ASSERT_EQ(control.send("phone " + phoneA + " on"), "ok");
  connect(phoneA);
  exchange({phoneA, phoneB, phoneB, phoneA});
  EXPECT_EQ(bridge.drainEvents(), std::vector<std::string>{});
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

}  // namespace
