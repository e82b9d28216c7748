// Stress through the real executable: commands that race each other and the phone, many
// times over. Each run checks what the host must always get (every line a known event,
// payloads intact, one outcome per command, exit status 0); run under ThreadSanitizer
// (.ci/tsan.sh) the same runs catch the data races they provoke.
#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/wire.h"
#include "harness/bridge_process.h"

using harness::BridgeProcess;
using namespace std::chrono_literals;
using testing::HasSubstr;

namespace {

using wire::closed;
using wire::ready;
using wire::send;
using wire::writeFailed;

std::string addressOf(int i) {
  return "00:00:5E:00:53:0" + std::to_string(i);
}
std::string command(const char* t, const std::string& addr) {
  return std::string(R"({"t":")") + t + R"(","addr":")" + addr + R"("})";
}
// Events by kind ("data", "connected", ...), every line checked to be one the host knows.
struct Tally {
  std::map<std::string, int> kinds;
  std::vector<std::string> lines;

  void add(const std::string& e) {
    lines.push_back(e);
    std::string kind = e.substr(6, e.find('"', 6) - 6);
    ASSERT_EQ(e.rfind(R"({"t":")", 0), 0u) << e;
    ASSERT_EQ(e.back(), '}') << e;
    if (kind == "data") {
      auto bytes = wire::dataBytes(e);
      ASSERT_TRUE(bytes) << e.substr(0, 100);
      ASSERT_GE(bytes->size(), 1u);
      ASSERT_LE(bytes->size(), 4096u);
    } else if (kind == "error") {
      EXPECT_EQ(e, writeFailed);
    } else if (kind == "closed") {
      EXPECT_EQ(e, closed);
    }
    ++kinds[kind];
  }
  // Takes events until `done` holds; false on a stall of 20 s.
  template <typename Done>
  bool until(BridgeProcess& bridge, Done done) {
    while (!done(*this)) {
      auto e = bridge.nextEvent(20s);
      if (!e) return false;
      add(*e);
    }
    return true;
  }
};

// Each stress runs with completions on a new platform thread each, inside the calls that
// start the operations, and all on one shared platform thread.
class Stress : public testing::TestWithParam<const char*> {
 protected:
  std::string completions() const { return std::string("completions ") + GetParam() + "\n"; }
};

TEST_P(Stress, OverlappingScansWithStopScanEachEndWithTheirOwnScanDone) {
  constexpr int scans = 40;
  std::string world = completions() + "inquiry-unit-ms 4\n";
  for (int i = 1; i <= 3; ++i)
    world += "device " + addressOf(i) + "\n  watcher " + (i == 2 ? "yes" : "no") + "\n";
  BridgeProcess bridge({.world = world});
  ASSERT_EQ(bridge.nextEvent(), ready);
  std::mt19937 random(7);
  for (int i = 0; i < scans; ++i) {
    bridge.send(R"({"t":"scan","seconds":)" + std::to_string(random() % 4) + "}");
    for (unsigned k = random() % 3; k > 0; --k) bridge.send(R"({"t":"stop-scan"})");
  }
  Tally tally;
  ASSERT_TRUE(tally.until(bridge, [](Tally& t) { return t.kinds["scan-done"] == scans; }));
  bridge.send(R"({"t":"stop-scan"})");
  for (const auto& e : bridge.drainEvents()) tally.add(e);
  EXPECT_EQ(tally.kinds["scan-done"], scans);
  EXPECT_EQ(tally.kinds["device"], 3 * scans);
  EXPECT_EQ(tally.kinds.size(), 2u);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto lines = bridge.logLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.rfind("[scan] опрос закончен, устройств найдено: ", 0) == 0;
                          }),
            scans);
}

TEST_P(Stress, PairsAndConnectsInFlightTogetherEachGetTheirOutcome) {
  constexpr int commands = 60;
  std::string world = completions();
  for (int i = 1; i <= 4; ++i)
    world += "device " + addressOf(i) + "\n  pairing " + (i % 2 ? "pin" : "confirm") +
             "\n  pair-delay-ms " + std::to_string(3 * i) + "\n  connect-delay-ms " +
             std::to_string(i) + "\n  phone-burst 3000\n";
  BridgeProcess bridge({.world = world});
  ASSERT_EQ(bridge.nextEvent(), ready);
  std::mt19937 random(11);
  int pairs = 0, connects = 0;
  for (int i = 0; i < commands; ++i) {
    bool pair = random() % 2;
    (pair ? pairs : connects)++;
    bridge.send(command(pair ? "pair" : "connect", addressOf(1 + random() % 4)));
  }
  Tally tally;
  ASSERT_TRUE(tally.until(bridge, [&](Tally& t) {
    return t.kinds["pair-result"] == pairs && t.kinds["connected"] == connects;
  }));
  bridge.send(R"({"t":"disconnect"})");
  ASSERT_TRUE(tally.until(bridge, [](Tally& t) { return t.kinds["closed"] >= 1; }));
  for (const auto& e : bridge.drainEvents()) tally.add(e);
  for (const auto& e : tally.lines) {
    if (e.find("pair-result") != std::string::npos) {
      EXPECT_THAT(e, HasSubstr(R"("ok":true})"));
    }
  }
  EXPECT_LE(tally.kinds["pairing-code"], pairs);
  EXPECT_EQ(tally.kinds["error"], 0);
  EXPECT_EQ(tally.kinds["pair-result"], pairs);
  EXPECT_EQ(tally.kinds["connected"], connects);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST_P(Stress, ConnectSendAndDisconnectInterleavedWithPhoneDataKeepEveryPayloadWhole) {
  constexpr int rounds = 40;
  BridgeProcess bridge({.world = completions() + "device A4:50:46:12:34:56\n  connect-delay-ms 2\n"
                                                 "  phone-burst 20000\n"});
  ASSERT_EQ(bridge.nextEvent(), ready);
  std::mt19937 random(13);
  for (int i = 0; i < rounds; ++i) {
    bridge.send(command("connect", "A4:50:46:12:34:56"));
    for (unsigned k = random() % 4; k > 0; --k)
      bridge.send(send(std::string(random() % 5000 + 1, 'e')));
    if (random() % 2) bridge.send(R"({"t":"disconnect"})");
  }
  Tally tally;
  ASSERT_TRUE(tally.until(bridge, [](Tally& t) { return t.kinds["connected"] == rounds; }));
  bridge.send(R"({"t":"disconnect"})");
  // The last connection ends with its closed event, and nothing of it follows.
  ASSERT_TRUE(tally.until(bridge, [](Tally& t) {
    auto last = std::find_if(t.lines.rbegin(), t.lines.rend(), [](const std::string& e) {
      return e.rfind(R"({"t":"connected")", 0) == 0 || e == closed;
    });
    return *last == closed;
  }));
  EXPECT_EQ(tally.lines.back(), closed);
  EXPECT_EQ(bridge.drainEvents(), std::vector<std::string>{});
  bridge.send(R"({"t":"send","b64":"QUJD"})");
  EXPECT_EQ(bridge.drainEvents(), std::vector<std::string>{});
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST_P(Stress, PhoneClosingWhileStoresArePendingEndsEachConnectionOnce) {
  constexpr int rounds = 20;
  BridgeProcess bridge({.world = completions() + "device A4:50:46:12:34:56\n  connect-delay-ms 1\n"
                                                 "  close-after-bytes 5000\n"});
  ASSERT_EQ(bridge.nextEvent(), ready);
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    bridge.send(command("connect", "A4:50:46:12:34:56"));
    ASSERT_EQ(bridge.nextEvent(), R"({"t":"connected","addr":"A4:50:46:12:34:56"})");
    std::string sent;
    for (int i = 0; i < 10; ++i) {
      std::string chunk(1000, static_cast<char>('A' + (round + i) % 26));
      sent += chunk;
      bridge.send(send(chunk));
    }
    std::string echoed;
    Tally tally;
    for (;;) {
      auto e = bridge.nextEvent(10s);
      ASSERT_TRUE(e) << "no closed event";
      tally.add(*e);
      if (*e == closed) break;
      if (auto bytes = wire::dataBytes(*e)) echoed += *bytes;
    }
    EXPECT_LE(echoed.size(), 5000u);
    EXPECT_EQ(echoed, sent.substr(0, echoed.size()));
    EXPECT_EQ(tally.kinds["connected"], 0);
    // Stores still queued when the phone closed may fail; nothing else follows the close.
    for (const auto& e : bridge.drainEvents(100ms)) EXPECT_EQ(e, writeFailed);
  }
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

// The host ends its input while scans, pairings, connects, sends and a bursting phone are all
// in flight: the bridge exits 0 without waiting for them, and what it wrote is whole lines.
TEST_P(Stress, EndOfInputWithEverythingInFlightExitsZeroLeavingWholeLines) {
  constexpr int runs = 20;
  const std::string world = completions() + "inquiry-unit-ms 2\n" + "device " + addressOf(1) +
                            "\n  watcher yes\n  pair-delay-ms 2\n  connect-delay-ms 1\n"
                            "  phone-burst 50000\n" +
                            "device " + addressOf(2) +
                            "\n  pairing confirm\n  pair-delay-ms 1\n  phone silent\n";
  std::mt19937 random(17);
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    BridgeProcess bridge({.world = world});
    std::string commands;
    for (int i = 0; i < 30; ++i) {
      std::string addr = addressOf(1 + static_cast<int>(random() % 2));
      switch (random() % 6) {
        case 0:
          commands += R"({"t":"scan","seconds":1})";
          break;
        case 1:
          commands += R"({"t":"stop-scan"})";
          break;
        case 2:
          commands += command("pair", addr);
          break;
        case 3:
          commands += command("connect", addr);
          break;
        case 4:
          commands += send(std::string(random() % 3000 + 1, 'x'));
          break;
        default:
          commands += R"({"t":"disconnect"})";
      }
      commands += "\n";
    }
    bridge.sendRaw(commands);
    bridge.closeInput();
    ASSERT_EQ(bridge.wait(), 0);
    std::string out = bridge.stdoutBytes();
    ASSERT_TRUE(out.ends_with("\r\n")) << "the last line is cut";
    Tally tally;
    for (const auto& line : harness::splitCrlf(out)) tally.add(line);
    EXPECT_EQ(tally.lines.front(), ready);
  }
}

INSTANTIATE_TEST_SUITE_P(Completions, Stress,
                         testing::Values("platform-thread", "at-once", "one-thread"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::erase(name, '-');
                           return name;
                         });

// 100 MB through the echo phone in sends of random sizes, checked byte for byte, with the
// bridge's peak memory bounded. Labelled "long" (CMake), so sanitizer runs skip it.
TEST(LongRun, HundredMegabytesRoundTripByteForByteInBoundedMemory) {
  constexpr size_t total = 100u << 20;
  constexpr size_t window = 8u << 20;  // the host keeps at most this much unechoed
  BridgeProcess bridge({.world = "device A4:50:46:12:34:56\n"});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(command("connect", "A4:50:46:12:34:56"));
  ASSERT_EQ(bridge.nextEvent(), R"({"t":"connected","addr":"A4:50:46:12:34:56"})");

  // Two generators with one seed: one makes what is sent, the other what must come back.
  std::mt19937_64 sender(2024), checker(2024);
  std::mt19937 sizes(99);
  auto fill = [](std::mt19937_64& g, std::string& out, size_t n) {
    out.resize(n);
    for (size_t i = 0; i < n; i += 8) {
      uint64_t v = g();
      for (size_t k = 0; k < 8 && i + k < n; ++k) out[i + k] = static_cast<char>(v >> (8 * k));
    }
  };
  // The checker is drawn in the sender's chunk sizes, so both streams stay in step.
  std::vector<size_t> chunkSizes;
  std::string expected;
  size_t expectedAt = 0, chunkIndex = 0;
  size_t sent = 0, received = 0;
  auto take = [&](std::chrono::milliseconds timeout) {
    auto e = bridge.nextEvent(timeout);
    if (!e) return false;
    auto bytes = wire::dataBytes(*e);
    EXPECT_TRUE(bytes) << e->substr(0, 100);
    if (!bytes) return false;
    for (char c : *bytes) {
      if (expectedAt == expected.size()) {
        fill(checker, expected, chunkSizes[chunkIndex++]);
        expectedAt = 0;
      }
      if (c != expected[expectedAt++]) {
        ADD_FAILURE() << "byte " << received << " differs";
        return false;
      }
      ++received;
    }
    return true;
  };

  std::string chunk;
  while (sent < total) {
    // Mostly small sends, now and then a large one.
    size_t n = sizes() % 8 == 0 ? 1 + sizes() % (1u << 20) : 1 + sizes() % 16384;
    n = std::min(n, total - sent);
    fill(sender, chunk, n);
    chunkSizes.push_back(n);
    bridge.send(send(chunk));
    sent += n;
    while (sent - received > window) ASSERT_TRUE(take(30s)) << "echo stalled at " << received;
    while (received < sent && take(0ms)) {
    }
    if (HasFailure()) return;
  }
  while (received < total) ASSERT_TRUE(take(30s)) << "echo stalled at " << received;
  EXPECT_EQ(received, total);

  long peakKb = wire::peakMemoryKb(bridge.pid());
  EXPECT_GT(peakKb, 0);
  EXPECT_LT(peakKb, 64 * 1024) << "the bridge's peak resident memory";
  bridge.send(R"({"t":"disconnect"})");
  EXPECT_EQ(bridge.nextEvent(), closed);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  RecordProperty("bytes_checked", std::to_string(received));
  RecordProperty("peak_kb", std::to_string(peakKb));
}

}  // namespace
