// Protocol 2's links under load: several phones at once, and the send window against a phone
// that does not read, with live phones of the test's own.
#include <algorithm>
#include <map>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/wire.h"
#include "harness/bridge_process.h"
#include "harness/live_phone.h"

using harness::BridgeProcess;
using harness::LivePhone;
using namespace std::chrono_literals;
using wire::addrMember;
using wire::command;
using wire::fields;

namespace {

constexpr size_t window = 1 << 20;

// Payload bytes that differ for every phone and every position.
std::string pattern(size_t phone, size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 7 + phone * 31 + i / 251) & 0xFF);
  return bytes;
}

std::string address(size_t i) {
  char text[18];
  std::snprintf(text, sizeof text, "A4:50:46:00:00:%02zu", i + 1);
  return text;
}

void greet(BridgeProcess& bridge) {
  ASSERT_EQ(bridge.nextEvent(), wire::ready);
  bridge.send(wire::hello());
  ASSERT_TRUE(bridge.waitEvent(R"("t":"hello")"));
}

// What the host learns from events, by address.
struct Links {
  std::map<std::string, std::string> received;              // data bytes
  std::map<std::string, size_t> unacknowledged;             // bytes sent, no `sent` yet
  std::map<std::string, std::vector<std::string>> answers;  // "sent" or an error code, in order
  std::map<std::string, std::string> byId;                  // the same by the send's id

  // Takes one event; false on a timeout.
  bool take(BridgeProcess& bridge, std::chrono::milliseconds timeout = 10s) {
    auto e = bridge.nextEvent(timeout);
    if (!e) return false;
    auto f = fields(*e);
    std::string addr = f["addr"].size() > 2 ? f["addr"].substr(1, f["addr"].size() - 2) : "";
    if (f["t"] == R"("data")") {
      auto bytes = wire::dataBytes(R"({"t":"data","b64":)" + f["b64"] + "}");
      EXPECT_TRUE(bytes) << e->substr(0, 80);
      if (bytes) received[addr] += *bytes;
    } else if (f["t"] == R"("sent")") {
      unacknowledged[addr] -= std::stoul(f["bytes"]);
      answers[addr].push_back("sent");
      byId[f["id"]] = "sent";
    } else if (f["t"] == R"("error")") {
      answers[addr].push_back(f["code"]);
      byId[f["id"]] = f["code"];
    } else {
      ADD_FAILURE() << "unexpected: " << *e;
    }
    return true;
  }
};

TEST(Protocol2Links, FourPhonesEchoAMegabyteEachBothWaysAtOnceByteExactAndSeparated) {
  constexpr size_t phones = 4, total = 1 << 20, chunk = 48 << 10;
  LivePhone live[phones];
  std::vector<std::pair<std::string, std::string>> devices;
  for (size_t i = 0; i < phones; ++i) devices.push_back({address(i), live[i].worldLines()});
  BridgeProcess bridge({.world = wire::world(devices)});
  greet(bridge);
  for (size_t i = 0; i < phones; ++i)
    bridge.send(command("connect", std::to_string(i), addrMember(address(i))));
  std::vector<std::thread> echoes;
  for (size_t i = 0; i < phones; ++i) {
    ASSERT_TRUE(live[i].accept()) << i;
    echoes.emplace_back([&phone = live[i]] {
      for (size_t echoed = 0; echoed < total;) {
        std::string bytes = phone.read(std::min<size_t>(total - echoed, 1 << 16), 20s);
        if (bytes.empty() || !phone.write(bytes)) break;
        echoed += bytes.size();
      }
    });
  }
  for (size_t i = 0; i < phones; ++i) ASSERT_TRUE(bridge.waitEvent(R"("t":"connected")")) << i;

  // Round robin over the phones, each kept within its window by waiting for `sent`.
  Links links;
  std::vector<std::string> payload(phones);
  std::vector<size_t> offered(phones, 0);
  for (size_t i = 0; i < phones; ++i) payload[i] = pattern(i, total);
  for (bool more = true; more;) {
    more = false;
    for (size_t i = 0; i < phones; ++i) {
      if (offered[i] == total) continue;
      more = true;
      size_t n = std::min(chunk, total - offered[i]);
      while (links.unacknowledged[address(i)] + n > window) ASSERT_TRUE(links.take(bridge));
      links.unacknowledged[address(i)] += n;
      bridge.send(command("send", std::to_string(offered[i]),
                          addrMember(address(i)) + R"(,"b64":")" +
                              wire::base64(std::string_view(payload[i]).substr(offered[i], n)) +
                              "\""));
      offered[i] += n;
    }
  }
  auto complete = [&] {
    for (size_t i = 0; i < phones; ++i)
      if (links.received[address(i)].size() < total || links.unacknowledged[address(i)] != 0)
        return false;
    return true;
  };
  while (!complete() && links.take(bridge)) {
  }
  for (auto& echo : echoes) echo.join();
  for (size_t i = 0; i < phones; ++i) {
    // Byte-exact, and nothing of another phone's: each pattern is the phone's own.
    EXPECT_TRUE(links.received[address(i)] == payload[i])
        << "phone " << i << " got " << links.received[address(i)].size();
    EXPECT_THAT(links.answers[address(i)], testing::Each("sent")) << i;
  }
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  for (auto& phone : live) EXPECT_TRUE(phone.seesEnd()) << "the end of input closes every link";
}

TEST(Protocol2Window, APhoneThatNeverReadsGivesBusyInBoundedMemoryAndWaitingForSentLosesNothing) {
  LivePhone live;
  const std::string phone = address(0);
  BridgeProcess bridge({.world = wire::world({{phone, live.worldLines()}})});
  greet(bridge);
  bridge.send(command("connect", "0", addrMember(phone)));
  ASSERT_TRUE(live.accept());
  ASSERT_TRUE(bridge.waitEvent(R"("t":"connected")"));

  // 16 MB offered without waiting; the phone reads nothing.
  constexpr size_t chunk = 64 << 10, eager = 256, patient = 64;
  Links links;
  std::vector<std::string> chunks;
  auto send = [&](size_t i) {
    chunks.push_back(pattern(i, chunk));
    bridge.send(
        command("send", std::to_string(i), R"("b64":")" + wire::base64(chunks.back()) + "\""));
  };
  for (size_t i = 0; i < eager; ++i) send(i);
  // Every send is answered but those in the stores the phone holds up: at most a window's.
  while (links.take(bridge, 1s)) {
  }
  auto answered = [&](const std::string& answer) {
    return std::count_if(links.byId.begin(), links.byId.end(),
                         [&](const auto& a) { return a.second == answer; });
  };
  EXPECT_GT(answered(R"("BUSY")"), 0);
  EXPECT_EQ(answered("sent") + answered(R"("BUSY")"), static_cast<long>(links.byId.size()));
  EXPECT_LE(eager - links.byId.size(), window / chunk);
  long peakKb = wire::peakMemoryKb(bridge.pid());
  RecordProperty("peak_kb_phone_not_reading", std::to_string(peakKb));
  std::printf("peak resident memory, 16 MB offered to a phone that does not read: %ld kB\n",
              peakKb);

  // The phone reads from now on, and the host waits for `sent` rather than pass the window.
  std::string got;
  std::thread reader([&] { got = live.read(size_t(1) << 30, 30s); });
  while (links.byId.size() < eager) ASSERT_TRUE(links.take(bridge));
  links.unacknowledged[phone] = 0;
  for (size_t i = eager; i < eager + patient; ++i) {
    while (links.unacknowledged[phone] + chunk > window) ASSERT_TRUE(links.take(bridge));
    links.unacknowledged[phone] += chunk;
    send(i);
  }
  while (links.byId.size() < eager + patient) ASSERT_TRUE(links.take(bridge));
  for (size_t i = eager; i < eager + patient; ++i)
    EXPECT_EQ(links.byId[std::to_string(i)], "sent") << i;
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  reader.join();
  // The phone has every accepted send's bytes, in command order, and nothing of a refused one.
  std::string expected;
  for (size_t i = 0; i < chunks.size(); ++i)
    if (links.byId[std::to_string(i)] == "sent") expected += chunks[i];
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

}  // namespace
