// Figures on the bed, printed, never asserted (.ci/bluez.sh --figures): how long each fault takes
// to reach the host, over ten runs, and the bridge's echo against a plain RFCOMM socket over the
// same emulated link. Phones: 1 paired, echoes (the faults); 2 paired, echoes (the echo);
// 3 pairs by numeric comparison (found again after BlueZ forgot it).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <thread>

#include "bluez/e2e/bed.h"

using harness::BridgeProcess;

namespace {

using namespace std::chrono_literals;
using bed::Clock;

constexpr int runs = 10;

struct Figure {
  std::string what;
  std::vector<double> seconds = {};
};

void print(const std::vector<Figure>& figures) {
  std::printf("\n%-44s %6s %8s %8s\n", "from the fault to the host's event", "runs", "median",
              "worst");
  for (auto f : figures) {
    if (f.seconds.empty()) continue;
    std::sort(f.seconds.begin(), f.seconds.end());
    std::printf("%-44s %6zu %7.2fs %7.2fs\n", f.what.c_str(), f.seconds.size(),
                f.seconds[f.seconds.size() / 2], f.seconds.back());
  }
}

// The next event holding `needle`, and the time from `since` to its arrival; nothing on timeout.
std::optional<double> after(BridgeProcess& bridge, const std::string& needle,
                            Clock::time_point since, std::chrono::milliseconds timeout = 20s) {
  if (!bridge.waitEvent(needle, timeout)) return std::nullopt;
  return bed::seconds(Clock::now() - since);
}

void add(Figure& figure, std::optional<double> seconds) {
  EXPECT_TRUE(seconds) << figure.what;
  if (seconds) figure.seconds.push_back(*seconds);
}

TEST(Figures, DetectionTimes) {
  REQUIRE_BEDCTL();
  BridgeProcess bridge(bed::ownAdapter());
  bed::start(bridge);
  bed::hello(bridge);
  const std::string one = bed::phone(1), three = bed::phone(3);
  const std::string connect = R"({"t":"connect","addr":")" + one + "\"}";
  std::vector<Figure> f = {{"phone switched off: closed LINK_LOST"},
                           {"radio off: adapter off"},
                           {"radio on: adapter on"},
                           {"adapter removed: adapter absent"},
                           {"adapter added: adapter on"},
                           {"bluetoothd stopped: adapter off or absent"},
                           {"bluetoothd killed: adapter absent"},
                           {"bluetoothd back (org.bluez owned): adapter on"},
                           {"pair, BlueZ having forgotten the phone"}};
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE(run);
    bridge.send(connect);
    ASSERT_TRUE(bridge.waitEvent(R"("t":"connected")", 60s));
    auto fault = bed::bedctl("power phone1 off");
    add(f[0], after(bridge, R"("code":"LINK_LOST")", fault.at));
    bed::bedctl("power phone1 on");

    fault = bed::bedctl("power bridge off");
    add(f[1], after(bridge, R"({"t":"adapter","state":"off"})", fault.at));
    fault = bed::bedctl("power bridge on");
    add(f[2], after(bridge, R"({"t":"adapter","state":"on"})", fault.at));

    fault = bed::bedctl("remove bridge");
    add(f[3], after(bridge, R"({"t":"adapter","state":"absent"})", fault.at));
    fault = bed::bedctl("add bridge");
    add(f[4], after(bridge, R"({"t":"adapter","state":"on"})", fault.at));

    fault = bed::bedctl("bluetoothd stop");
    add(f[5], after(bridge, R"({"t":"adapter","state":")", fault.at));
    auto back = bed::bedctl("bluetoothd start");
    add(f[7], after(bridge, R"({"t":"adapter","state":"on"})", back.done, 30s));
    fault = bed::bedctl("bluetoothd kill");
    add(f[6], after(bridge, R"({"t":"adapter","state":"absent"})", fault.at));
    back = bed::bedctl("bluetoothd start");
    add(f[7], after(bridge, R"({"t":"adapter","state":"on"})", back.done, 30s));

    bridge.send(R"({"t":"scan","seconds":2})");
    ASSERT_TRUE(bridge.waitEvent(R"("t":"scan-done")", 30s));
    bed::waitNoLinks(30s);
    bed::forget(three);
    auto asked = Clock::now();
    bridge.send(bed::pair(three));
    add(f[8], after(bridge, R"("t":"pair-result")", asked, 40s));
    bed::forget(three);
    bed::forget("00:AA:01:00:00:00", "hci3");
    bridge.drainEvents(500ms);
  }
  print(f);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

uint64_t addressValue(const std::string& text) {
  uint64_t value = 0;
  for (char c : text)
    if (std::isxdigit(static_cast<unsigned char>(c)))
      value = value << 4 | static_cast<uint64_t>(std::stoi(std::string(1, c), nullptr, 16));
  return value;
}

// Moves `bytes` out and back through a plain RFCOMM socket to the phone's echo: one thread
// writes, this one reads. Seconds, or a negative number when the socket failed.
double plainEcho(const std::string& addr, const std::string& bytes) {
  // struct sockaddr_rc: the family, the address from its low byte up, the channel.
  alignas(sockaddr) uint8_t to[10] = {};
  const sa_family_t family = AF_BLUETOOTH;
  std::memcpy(to, &family, sizeof family);
  auto value = addressValue(addr);
  for (int i = 0; i < 6; ++i) to[2 + i] = static_cast<uint8_t>(value >> (8 * i));
  to[8] = 1;
  int fd = ::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, 3 /* BTPROTO_RFCOMM */);
  // An authenticated link, as the phone's serial port asks (SOL_BLUETOOTH, BT_SECURITY, medium).
  const uint8_t security[2] = {2, 0};
  if (fd >= 0) ::setsockopt(fd, 274, 4, security, sizeof security);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(to), sizeof to) != 0) {
    ADD_FAILURE() << "plain RFCOMM connect to " << addr << ": " << std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  auto start = Clock::now();
  std::thread writer([&] {
    for (size_t at = 0; at < bytes.size();) {
      ssize_t n =
          ::send(fd, bytes.data() + at, std::min<size_t>(4096, bytes.size() - at), MSG_NOSIGNAL);
      if (n <= 0) return;
      at += static_cast<size_t>(n);
    }
  });
  std::string back;
  char buffer[4096];
  while (back.size() < bytes.size()) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    back.append(buffer, static_cast<size_t>(n));
  }
  double seconds = bed::seconds(Clock::now() - start);
  writer.join();
  ::close(fd);
  EXPECT_TRUE(back == bytes) << "the plain socket's echo differs";
  return seconds;
}

// The same through the bridge: 3 KB sends, at most 256 KB ahead of the echo, so that protocol 2's
// window never refuses one.
double bridgeEcho(BridgeProcess& bridge, const std::string& bytes, bool p2) {
  auto start = Clock::now();
  std::string back;
  size_t sent = 0;
  while (back.size() < bytes.size()) {
    while (sent < bytes.size() && sent - back.size() < 256 * 1024) {
      bridge.send(wire::send(std::string_view(bytes).substr(sent, 3072)));
      sent = std::min(bytes.size(), sent + 3072);
    }
    auto e = bridge.nextEvent(30s);
    if (!e) break;
    if (p2) {
      if (auto d = bed::data2(*e)) back += d->bytes;
    } else if (auto d = wire::dataBytes(*e)) {
      back += *d;
    }
  }
  double seconds = bed::seconds(Clock::now() - start);
  EXPECT_TRUE(back == bytes) << "the bridge's echo differs";
  bridge.drainEvents(300ms);
  return seconds;
}

TEST(Figures, EchoAgainstPlainSocket) {
  REQUIRE_BED();
  const std::string phone = bed::phone(2);
  std::string bytes(512 * 1024, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  std::vector<double> plain, p1, p2;
  for (int round = 0; round < 7; ++round) {
    plain.push_back(plainEcho(phone, bytes));
    bed::waitLinkGone(phone, 30s);
    for (bool two : {false, true}) {
      BridgeProcess bridge;
      bed::start(bridge);
      if (two) bed::hello(bridge);
      bridge.send(bed::connect(phone));
      ASSERT_TRUE(bridge.waitEvent(R"("t":"connected")", 60s));
      (two ? p2 : p1).push_back(bridgeEcho(bridge, bytes, two));
      bridge.closeInput();
      bridge.wait();
      bed::waitLinkGone(phone, 30s);
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  // Each round's own ratio, so that the host's load drifting between rounds cancels out.
  std::vector<double> r1, r2;
  for (size_t i = 0; i < plain.size(); ++i) {
    std::printf("round %zu: socket %.2f s, protocol 1 %.2f s, protocol 2 %.2f s\n", i + 1, plain[i],
                p1[i], p2[i]);
    r1.push_back(plain[i] / p1[i]);
    r2.push_back(plain[i] / p2[i]);
  }
  const double kb = bytes.size() / 1024.0;
  std::printf("\n512 KiB each way, median of %zu rounds, alternating on one phone:\n",
              plain.size());
  std::printf("  plain RFCOMM socket  %6.2f s  %6.1f KiB/s\n", median(plain), kb / median(plain));
  std::printf("  bridge, protocol 1   %6.2f s  %6.1f KiB/s  %.2f of the socket (per round)\n",
              median(p1), kb / median(p1), median(r1));
  std::printf("  bridge, protocol 2   %6.2f s  %6.1f KiB/s  %.2f of the socket (per round)\n",
              median(p2), kb / median(p2), median(r2));
  // The fastest round of each is the one the host's load touched least.
  auto best = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
  std::printf(
      "  fastest rounds: socket %.2f s, protocol 1 %.2f s (%.2f), protocol 2 %.2f s (%.2f)\n",
      best(plain), best(p1), best(plain) / best(p1), best(p2), best(plain) / best(p2));
}

}  // namespace
