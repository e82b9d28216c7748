// What real robots meet, on the real stack, through the bed's bedctl: a phone switched off
// mid-stream, the bridge's adapter switched off or unplugged with work in flight, the bridge
// started without one, bluetoothd stopped or killed; then a second phone right after the first,
// and two phones at once. Each fault in protocol 1 and 2. The phones, in the boot .ci/bluez.sh
// shares with the session's and the forgotten phones' tests, are named below.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "bluez/e2e/bed.h"

using harness::BridgeProcess;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;

namespace {

using namespace std::chrono_literals;
using bed::Clock;

// Paired, echoes: the stream and the first link.
constexpr size_t streaming = 3;
// Never answers a pairing: the pair, and a connect waiting for it, stay in flight.
constexpr size_t silent = 4;
// Paired, echoes: the second link.
constexpr size_t second = 5;
// Pairs and echoes, and is made a stranger again after each use.
constexpr size_t fresh = 6;

const std::string adapterOffText =
    "адаптер Bluetooth выключен или не найден — включи Bluetooth и повтори";

class Fault : public testing::TestWithParam<int> {
 protected:
  bool p2() const { return GetParam() == 2; }

  // The bridge kept to the bed's own adapter, in the protocol of the case.
  void start(BridgeProcess& bridge, const std::string& adapter = "on") {
    bed::start(bridge);
    if (p2()) bed::hello(bridge, adapter);
  }

  // A closed event the host did not ask for.
  std::string closed(const std::string& addr, const std::string& code) const {
    if (!p2()) return wire::closed;
    return R"({"t":"closed","addr":")" + addr + R"(","code":")" + code +
           R"(","reason":"соединение закрыто"})";
  }

  // Connects and proves the link with one echo.
  void connect(BridgeProcess& bridge, size_t phone) {
    const std::string addr = bed::phone(phone);
    bridge.send(bed::connect(addr));
    ASSERT_EQ(bridge.waitEvent(R"("t":"connected")", 60s), bed::connected(addr));
    std::string before = bed::received(phone);
    bridge.send(wire::send("ping"));
    std::string back;
    auto until = Clock::now() + 20s;
    while (back.size() < 4 && Clock::now() < until) {
      auto e = bridge.nextEvent(1s);
      if (!e) continue;
      if (auto d = p2() ? bed::data2(*e) : std::nullopt) back += d->bytes;
      if (auto d = p2() ? std::nullopt : wire::dataBytes(*e)) back += *d;
    }
    EXPECT_EQ(back, "ping");
    EXPECT_EQ(bed::received(phone), before + "ping");
  }

  void disconnect(BridgeProcess& bridge, size_t phone) {
    bridge.send(R"({"t":"disconnect"})");
    auto e = bridge.waitEvent(R"("t":"closed")", 10s);
    ASSERT_TRUE(e);
    if (p2()) {
      EXPECT_THAT(*e, HasSubstr(R"("code":"HOST_CLOSED")"));
    }
    (void)phone;
  }

  // The phone takes a new connection, and the bridge ends cleanly with the host's input.
  void connectsAgainThenEnds(BridgeProcess& bridge) {
    connect(bridge, streaming);
    disconnect(bridge, streaming);
    bridge.closeInput();
    EXPECT_EQ(bridge.wait(), 0);
  }

  // A failed connect's two events as (error, closed), the first within `limit`: protocol 1
  // writes the error first, protocol 2 the closed event.
  std::optional<std::pair<std::string, std::string>> failedConnect(
      BridgeProcess& bridge, std::chrono::milliseconds limit) {
    auto first = bridge.nextEvent(limit), second = bridge.nextEvent(5s);
    if (!first || !second) return std::nullopt;
    return p2() ? std::pair(*second, *first) : std::pair(*first, *second);
  }

  void pair(BridgeProcess& bridge, size_t phone) {
    bridge.send(bed::pair(bed::phone(phone)));
    auto result = bridge.waitEvent(R"("t":"pair-result")", 30s);
    ASSERT_TRUE(result);
    EXPECT_THAT(*result, HasSubstr(R"("ok":true)"));
  }

  // Waits for the adapter's event (protocol 2) or its log line (both), and reports the delay.
  void expectAdapter(BridgeProcess& bridge, const std::string& state, const std::string& line,
                     const bed::Fault& fault, const char* what) {
    if (p2()) {
      // An adapter that comes back may show itself off before it is powered.
      auto e = bridge.waitEvent(R"({"t":"adapter","state":")" + state + "\"}", 30s);
      EXPECT_TRUE(e) << what;
      std::printf("p2 %s: adapter %s %.2f s after the fault, %.2f s after it took effect\n", what,
                  state.c_str(), bed::seconds(Clock::now() - fault.at),
                  bed::seconds(Clock::now() - fault.done));
    }
    EXPECT_TRUE(bridge.waitLog(line, 20s)) << what;
  }

  // Commands that need the adapter fail at once while it is away.
  void expectRefusedAtOnce(BridgeProcess& bridge) {
    auto asked = Clock::now();
    bridge.send(R"({"t":"scan","seconds":5,"id":"s"})");
    auto done = bridge.waitEvent(R"("t":"scan-done")", 5s);
    ASSERT_TRUE(done);
    if (p2()) {
      EXPECT_EQ(*done, R"({"t":"scan-done","id":"s","code":"ADAPTER_OFF","error":")" +
                           adapterOffText + "\"}");
    }
    bridge.send(bed::connect(bed::phone(streaming)));
    auto failed = failedConnect(bridge, 5s);
    ASSERT_TRUE(failed);
    EXPECT_THAT(failed->first, HasSubstr(adapterOffText));
    EXPECT_THAT(failed->second, HasSubstr("адаптер Bluetooth недоступен"));
    EXPECT_LT(Clock::now() - asked, 3s);
  }
};

// A stranger again on both sides, so that the next pairing is a whole one. Forgotten once the
// link is gone: a side that still holds it keeps the old key for it, and the next pairing fails.
void unpair(size_t phone) {
  bed::waitLinkGone(bed::phone(phone), 30s);
  bed::forget(bed::phone(phone));
  bed::forget("00:AA:01:00:00:00", "hci" + std::to_string(phone));
}

std::string piece(size_t n) {
  std::string bytes(1000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((n * 31 + i * 7) & 0xFF);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(Protocol, Fault, testing::Values(1, 2),
                         [](const auto& info) { return "p" + std::to_string(info.param); });

TEST_P(Fault, StartedWithoutAdapterWorksOnceOneIsPluggedIn) {
  REQUIRE_BEDCTL();
  bed::bedctl("remove bridge");
  BridgeProcess bridge(bed::ownAdapter());
  start(bridge, "absent");
  EXPECT_TRUE(bridge.waitLog("[start] ВНИМАНИЕ: адаптер Bluetooth не найден"));
  expectRefusedAtOnce(bridge);
  auto fault = bed::bedctl("add bridge");
  expectAdapter(bridge, "on", "[adapter] адаптер снова работает", fault, "plugged in");
  connectsAgainThenEnds(bridge);
}

TEST_P(Fault, PhoneSwitchedOffMidStreamEndsTheConnectionAndKeepsEveryByteBefore) {
  REQUIRE_BEDCTL();
  BridgeProcess bridge(bed::ownAdapter());
  start(bridge);
  const std::string phone = bed::phone(streaming);
  connect(bridge, streaming);
  const size_t rxBefore = bed::received(streaming).size();

  // Both directions busy, at most 16 KB ahead of the echo, until the closed event.
  std::string sent, echoed, end;
  std::vector<std::string> others;
  std::thread off;
  bed::Fault fault;
  Clock::time_point closedAt;
  for (size_t n = 0; end.empty();) {
    if (sent.size() < echoed.size() + 16384 && n < 2000) {
      sent += piece(n);
      bridge.send(wire::send(piece(n++)));
    }
    auto e = bridge.nextEvent(sent.size() < echoed.size() + 16384 ? 0ms : 100ms);
    if (!off.joinable() && echoed.size() >= 4000)
      off = std::thread(
          [&fault] { fault = bed::bedctl("power phone" + std::to_string(streaming) + " off"); });
    if (!e) {
      ASSERT_LT(n, 2000u) << "no closed event";
      continue;
    }
    if (auto d = p2() ? bed::data2(*e) : std::nullopt)
      echoed += d->bytes;
    else if (auto d1 = p2() ? std::nullopt : wire::dataBytes(*e))
      echoed += *d1;
    else if (e->rfind(R"({"t":"closed")", 0) == 0)
      end = *e, closedAt = Clock::now();
    else
      others.push_back(*e);
  }
  if (off.joinable()) off.join();
  std::printf("p%d phone off: closed %.2f s after the fault, %zu bytes echoed before\n", GetParam(),
              bed::seconds(closedAt - fault.at), echoed.size());
  EXPECT_EQ(end, closed(phone, "LINK_LOST"));
  // Every byte before the fault, in order; the phone got a prefix of what was sent.
  EXPECT_TRUE(sent.compare(0, echoed.size(), echoed) == 0) << "the echo is not what was sent";
  std::string atPhone = bed::received(streaming).substr(rxBefore);
  EXPECT_TRUE(sent.compare(0, atPhone.size(), atPhone) == 0) << "the phone got other bytes";
  EXPECT_LE(echoed.size(), atPhone.size());
  for (const auto& e : others)
    EXPECT_TRUE(p2() ? e.rfind(R"({"t":"sent")", 0) == 0 || e.find("WRITE_FAILED") != e.npos ||
                           e.find("NOT_CONNECTED") != e.npos
                     : e == wire::writeFailed)
        << e;
  // Afterwards a send fails the usual way: silently in protocol 1, NOT_CONNECTED in 2.
  bridge.drainEvents(1s);
  bridge.send(R"({"t":"send","b64":"QUJD","id":9})");
  if (p2()) {
    EXPECT_THAT(bridge.nextEvent(5s).value_or(""), HasSubstr(R"("id":9,"code":"NOT_CONNECTED")"));
  } else {
    EXPECT_THAT(bridge.drainEvents(1s), IsEmpty());
  }
  // Back on, the phone takes a new connection.
  bed::bedctl("power phone" + std::to_string(streaming) + " on");
  connectsAgainThenEnds(bridge);
}

TEST_P(Fault, AdapterUnpluggedAndPluggedBackIsFoundAgain) {
  REQUIRE_BEDCTL();
  BridgeProcess bridge(bed::ownAdapter());
  start(bridge);
  const std::string phone = bed::phone(streaming);
  connect(bridge, streaming);
  auto fault = bed::bedctl("remove bridge");
  auto end = bridge.waitEvent(R"("t":"closed")", 20s);
  ASSERT_TRUE(end);
  EXPECT_EQ(*end, closed(phone, "ADAPTER_OFF"));
  std::printf("p%d adapter removed: closed %.2f s after the fault\n", GetParam(),
              bed::seconds(Clock::now() - fault.at));
  expectAdapter(bridge, "absent", "[adapter] адаптер пропал", fault, "unplugged");
  expectRefusedAtOnce(bridge);
  fault = bed::bedctl("add bridge");
  expectAdapter(bridge, "on", "[adapter] адаптер снова работает", fault, "plugged back");
  connectsAgainThenEnds(bridge);
}

// bluetoothd stopped politely (protocol 2) or killed (protocol 1), then started: the connection
// ends, and the bridge registers its agent and profile with the new daemon by itself.
TEST_P(Fault, BluetoothdStoppedOrKilledThenStartedServesAgain) {
  REQUIRE_BEDCTL();
  {
    const char* how = p2() ? "stop" : "kill";
    BridgeProcess bridge(bed::ownAdapter());
    start(bridge);
    const std::string phone = bed::phone(streaming);
    connect(bridge, streaming);
    pair(bridge, fresh);  // the agent registered with this daemon
    unpair(fresh);
    auto fault = bed::bedctl(std::string("bluetoothd ") + how);
    auto end = bridge.waitEvent(R"("t":"closed")", 20s);
    ASSERT_TRUE(end);
    // A bluetoothd that stops powers off every adapter it has, the phones' too, in its own order:
    // the phone's going may end the link before the bridge's adapter goes.
    if (how == std::string("stop") && *end == closed(phone, "LINK_LOST")) {
      SUCCEED();
    } else {
      EXPECT_EQ(*end, closed(phone, "ADAPTER_OFF"));
    }
    std::printf("p%d bluetoothd %s: closed %.2f s after the fault\n", GetParam(), how,
                bed::seconds(Clock::now() - fault.at));
    EXPECT_TRUE(bridge.waitLog("[adapter] ", 20s));
    expectRefusedAtOnce(bridge);

    auto back = bed::bedctl("bluetoothd start");
    expectAdapter(bridge, "on", "[adapter] адаптер снова работает", back, "bluetoothd back");
    bridge.drainEvents(500ms);
    pair(bridge, fresh);
    connect(bridge, fresh);
    std::printf("p%d bluetoothd %s: paired and connected %.2f s after it was back (%s)\n",
                GetParam(), how, bed::seconds(Clock::now() - back.done), back.line.c_str());
    disconnect(bridge, fresh);
    bridge.closeInput();
    EXPECT_EQ(bridge.wait(), 0);
    unpair(fresh);
  }
}

// Disconnect, then at once pair and connect another phone, without waiting in between. The phone
// is asked once, by the pairing the host asked for: a connect run ahead of it would have the phone
// demand a pairing that no agent of the bridge answers.
TEST_P(Fault, SecondPhoneRightAfterTheFirst) {
  REQUIRE_BEDCTL();
  BridgeProcess bridge(bed::ownAdapter());
  start(bridge);
  connect(bridge, streaming);
  const size_t before = bed::events(fresh).size();
  bridge.send(R"({"t":"disconnect"})");
  bridge.send(bed::pair(bed::phone(fresh)));
  bridge.send(bed::connect(bed::phone(fresh)));
  auto result = bridge.waitEvent(R"("t":"pair-result")", 30s);
  ASSERT_TRUE(result);
  EXPECT_THAT(*result, HasSubstr(R"("ok":true)"));
  ASSERT_EQ(bridge.waitEvent(R"("t":"connected")", 60s), bed::connected(bed::phone(fresh)));
  std::istringstream seen(bed::events(fresh).substr(before));
  std::vector<std::string> asked;
  for (std::string line; std::getline(seen, line);)
    if (line.rfind("Request", 0) == 0) asked.push_back(line);
  EXPECT_THAT(asked, testing::ElementsAre("RequestConfirmation 00:AA:01:00:00:00 000000 accept"));
  disconnect(bridge, fresh);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  unpair(fresh);
}

// A connection open, a scan running, a pair and a connect in flight when the radio goes off: the
// phone never answers the pairing, and the connect to it waits for the pairing's verdict.
TEST_P(Fault, AdapterSwitchedOffAnswersEverythingInFlightAndWorksWhenBackOn) {
  REQUIRE_BEDCTL();
  BridgeProcess bridge(bed::ownAdapter());
  start(bridge);
  connect(bridge, streaming);
  const std::string one = bed::phone(streaming), two = bed::phone(silent);
  bridge.send(R"({"t":"scan","seconds":30,"id":1})");
  bridge.send(R"({"t":"pair","addr":")" + two + R"(","id":2})");
  ASSERT_TRUE(bridge.waitEvent(R"("t":"pairing-code")", 30s)) << "the pairing never started";
  bridge.send(R"({"t":"connect","addr":")" + two + R"(","id":3})");
  std::this_thread::sleep_for(500ms);
  auto fault = bed::bedctl("power bridge off");

  // Each answered once, whatever order they come in.
  std::vector<std::string> answers;
  auto until = Clock::now() + 20s;
  while (answers.size() < (p2() ? 6u : 5u) && Clock::now() < until)
    if (auto e = bridge.nextEvent(1s)) answers.push_back(*e);
  std::printf("p%d adapter off: %zu answers %.2f s after the fault\n", GetParam(), answers.size(),
              bed::seconds(Clock::now() - fault.at));
  auto has = [&](const std::string& line) {
    return std::count(answers.begin(), answers.end(), line) == 1;
  };
  if (p2()) {
    EXPECT_TRUE(has(R"({"t":"adapter","state":"off"})"));
    EXPECT_TRUE(has(closed(one, "ADAPTER_OFF")));
    EXPECT_TRUE(
        has(R"({"t":"scan-done","id":1,"code":"ADAPTER_OFF","error":")" + adapterOffText + "\"}"));
    EXPECT_TRUE(has(R"({"t":"pair-result","id":2,"addr":")" + two +
                    R"(","ok":false,"code":"ADAPTER_OFF","error":")" + adapterOffText + "\"}"));
    EXPECT_TRUE(has(R"({"t":"closed","id":3,"addr":")" + two +
                    R"(","code":"ADAPTER_OFF","reason":"адаптер Bluetooth недоступен"})"));
    EXPECT_TRUE(has(R"({"t":"error","id":3,"addr":")" + two +
                    R"(","code":"ADAPTER_OFF","error":")" + adapterOffText + "\"}"));
  } else {
    EXPECT_TRUE(has(wire::closed));
    EXPECT_TRUE(has(bed::scanDone));
    EXPECT_TRUE(has(R"({"t":"pair-result","addr":")" + two + R"(","ok":false,"error":")" +
                    adapterOffText + "\"}"));
    EXPECT_TRUE(has(R"({"t":"error","error":")" + adapterOffText + "\"}"));
    EXPECT_TRUE(has(R"({"t":"closed","reason":"адаптер Bluetooth недоступен"})"));
  }
  if (HasFailure()) ADD_FAILURE() << "the host saw:\n" << bridge.stdoutBytes();
  EXPECT_TRUE(bridge.waitLog("[adapter] радио адаптера выключено"));
  EXPECT_THAT(bridge.drainEvents(2s), IsEmpty());
  expectRefusedAtOnce(bridge);

  fault = bed::bedctl("power bridge on");
  expectAdapter(bridge, "on", "[adapter] адаптер снова работает", fault, "radio on");
  EXPECT_THAT(bridge.drainEvents(2s), IsEmpty());
  connect(bridge, streaming);
  disconnect(bridge, streaming);
  pair(bridge, fresh);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  unpair(fresh);
}

// A connect paging a phone that is switched off fails; the radio going off right after, while the
// stack still tears the failed page down, is followed as any other time.
TEST_P(Fault, RadioOffJustAfterAFailedPage) {
  REQUIRE_BEDCTL();
  BridgeProcess bridge(bed::ownAdapter());
  start(bridge);
  const std::string phone = bed::phone(streaming);
  bed::bedctl("power phone" + std::to_string(streaming) + " off");
  bridge.send(bed::connect(phone));
  auto failed = failedConnect(bridge, 60s);
  ASSERT_TRUE(failed);
  EXPECT_THAT(failed->first, StartsWith(R"({"t":"error")"));
  EXPECT_THAT(failed->second, StartsWith(R"({"t":"closed")"));
  std::printf("p%d failed page: %s\n", GetParam(), failed->first.c_str());
  auto fault = bed::bedctl("power bridge off");
  expectAdapter(bridge, "off", "[adapter] радио адаптера выключено", fault, "radio off");
  fault = bed::bedctl("power bridge on");
  expectAdapter(bridge, "on", "[adapter] адаптер снова работает", fault, "radio on");
  EXPECT_THAT(bridge.drainEvents(1s), IsEmpty());
  bed::bedctl("power phone" + std::to_string(streaming) + " on");
  connectsAgainThenEnds(bridge);
}

// Two phones connected at once, each echoing 256 KB while the other does.
TEST(Links, TwoPhonesAtOnceExchangeBytesBothWays) {
  REQUIRE_BEDCTL();
  BridgeProcess bridge(bed::ownAdapter());
  bed::start(bridge);
  bed::hello(bridge);
  const std::string one = bed::phone(streaming), other = bed::phone(second);
  bridge.send(R"({"t":"connect","addr":")" + one + R"(","id":1})");
  bridge.send(R"({"t":"connect","addr":")" + other + R"(","id":3})");
  std::vector<std::string> answers = {*bridge.waitEvent(R"("t":"connected")", 60s),
                                      *bridge.waitEvent(R"("t":"connected")", 60s)};
  EXPECT_THAT(answers,
              testing::UnorderedElementsAre(R"({"t":"connected","id":1,"addr":")" + one + "\"}",
                                            R"({"t":"connected","id":3,"addr":")" + other + "\"}"));
  const size_t rx1 = bed::received(streaming).size(), rx4 = bed::received(3).size();
  std::map<std::string, std::string> sent, back;
  const size_t total = 256 * 1024;
  size_t n = 0;
  auto until = Clock::now() + 120s;
  while ((back[one].size() < total || back[other].size() < total) && Clock::now() < until) {
    for (const auto& addr : {one, other}) {
      if (sent[addr].size() >= total || sent[addr].size() > back[addr].size() + 32768) continue;
      std::string bytes = piece(n++ + (addr == one ? 0 : 7));
      sent[addr] += bytes;
      bridge.send(R"({"t":"send","addr":")" + addr + R"(","b64":")" + wire::base64(bytes) + "\"}");
    }
    auto e = bridge.nextEvent(20ms);
    if (!e || e->rfind(R"({"t":"sent")", 0) == 0) continue;
    auto d = bed::data2(*e);
    ASSERT_TRUE(d) << *e;
    back[d->addr] += d->bytes;
  }
  EXPECT_TRUE(back[one] == sent[one]) << "the first phone's echo differs";
  EXPECT_TRUE(back[other] == sent[other]) << "the second phone's echo differs";
  EXPECT_TRUE(bed::received(streaming).substr(rx1) == sent[one]);
  EXPECT_TRUE(bed::received(second).substr(rx4) == sent[other]);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

// A connect at once after a disconnect from the same phone, its last channel still closing.
TEST(Links, ReconnectAtOnceToTheSamePhone) {
  REQUIRE_BEDCTL();
  BridgeProcess bridge(bed::ownAdapter());
  bed::start(bridge);
  const std::string phone = bed::phone(second);
  for (int round = 0; round < 3; ++round) {
    bridge.send(bed::connect(phone));
    ASSERT_EQ(bridge.waitEvent(R"("t":"connected")", 60s), bed::connected(phone)) << round;
    bridge.send(R"({"t":"disconnect"})");
    ASSERT_EQ(bridge.nextEvent(10s), wire::closed);
  }
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

}  // namespace
