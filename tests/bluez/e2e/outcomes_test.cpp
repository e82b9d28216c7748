// The outcomes other than the happy path, on phones set up for them (.ci/bluez.sh boots the bed
// with these settings):
//   phone 1 rejects pairing (pair=reject), phone 2 has no input or output (plain confirmation,
//   iocap=NoInputNoOutput), phone 3 has no serial-port record (spp=no), phone 4 closes 3 s after
//   a connect (close_after=3), phone 5 echoes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bluez/e2e/bed.h"

using harness::BridgeProcess;
using testing::Contains;
using testing::HasSubstr;
using testing::IsEmpty;

namespace {

using namespace std::chrono_literals;

const std::string nobody = "00:11:22:33:44:55";

// Scans so that BlueZ knows the phones, and waits for the links earlier tests left (pairing keeps
// one up for seconds) to end, so that each case starts from a quiet controller.
void scan(BridgeProcess& bridge) {
  bridge.send(R"({"t":"scan","seconds":2})");
  ASSERT_TRUE(bridge.waitEvent(bed::scanDone, 30s));
  ASSERT_TRUE(bed::waitNoLinks(30s)) << bed::links();
}

// Pairs as a host does before it connects (the phones' serial ports want an authenticated link).
void pair(BridgeProcess& bridge, const std::string& phone) {
  bridge.send(bed::pair(phone));
  ASSERT_TRUE(bridge.waitEvent(bed::paired(phone), 30s));
  ASSERT_TRUE(bed::waitNoLinks(30s)) << bed::links();
}

TEST(Outcomes, PairingRejectedByThePhoneIsAFailedPairing) {
  REQUIRE_BED();
  BridgeProcess bridge;
  bed::start(bridge);
  scan(bridge);
  const std::string phone = bed::phone(1);
  bridge.send(bed::pair(phone));
  // The PIN still shows: the phone refuses after seeing it.
  EXPECT_EQ(bridge.nextEvent(30s), R"({"t":"pairing-code","code":"000000"})");
  auto result = bridge.nextEvent(30s);
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, bed::refused(phone, 9));
  EXPECT_THAT(bed::events(1), HasSubstr("reject"));
  EXPECT_TRUE(bridge.waitLog("[pair] итог: код 9"));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(Outcomes, PhoneWithoutDisplayPairsWithoutPin) {
  REQUIRE_BED();
  BridgeProcess bridge;
  bed::start(bridge);
  scan(bridge);
  const std::string phone = bed::phone(2);
  bridge.send(bed::pair(phone));
  // No PIN to compare: no pairing-code, just the result.
  EXPECT_EQ(bridge.nextEvent(30s), bed::paired(phone));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  // The kernel accepts a pairing without a PIN that the bridge started, so BlueZ asks nothing.
  EXPECT_THAT(bridge.logLines(), testing::Not(Contains(HasSubstr("система просит подтверждения"))));
}

TEST(Outcomes, UnknownAddressIsNotVisibleForPairAndConnect) {
  REQUIRE_BED();
  BridgeProcess bridge;
  bed::start(bridge);
  bridge.send(bed::pair(nobody));
  EXPECT_EQ(bridge.nextEvent(20s), bed::notVisible(nobody));
  EXPECT_TRUE(bridge.waitLog("[resolve] Windows не знает устройства " + nobody));
  bridge.send(bed::connect(nobody));
  EXPECT_EQ(
      bridge.nextEvent(20s),
      R"({"t":"error","error":"Windows не видит этот телефон — включи видимость на роботе и найди заново"})");
  EXPECT_EQ(bridge.nextEvent(5s), R"({"t":"closed","reason":"нет устройства"})");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(Outcomes, PhoneWithoutSerialPortIsNoService) {
  REQUIRE_BED();
  BridgeProcess bridge;
  bed::start(bridge);
  scan(bridge);
  const std::string phone = bed::phone(3);
  bridge.send(bed::connect(phone));
  EXPECT_EQ(
      bridge.nextEvent(60s),
      R"({"t":"error","error":"телефон не предлагает последовательную службу. Открой на нём приложение робота и оставь его на экране, потом повтори"})");
  EXPECT_EQ(bridge.nextEvent(5s), R"({"t":"closed","reason":"нет службы SPP"})");
  EXPECT_TRUE(bridge.waitLog("[connect] найдено служб (с телефона): 0"));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(Outcomes, PhoneClosingEndsTheConnectionAndLaterSendsGoNowhere) {
  REQUIRE_BED();
  BridgeProcess bridge;
  bed::start(bridge);
  scan(bridge);
  const std::string phone = bed::phone(4);
  pair(bridge, phone);
  bridge.send(bed::connect(phone));
  ASSERT_EQ(bridge.nextEvent(60s), bed::connected(phone));
  EXPECT_EQ(bed::echo(bridge, "before"), "before");
  // The phone closes 3 s after the connect: one "closed", nothing else.
  EXPECT_EQ(bridge.nextEvent(20s), wire::closed);
  // With the connection gone a send has nowhere to go and says nothing; the bridge goes on.
  bridge.send(wire::send("after"));
  bridge.send(R"({"t":"disconnect"})");
  EXPECT_THAT(bridge.drainEvents(1s), IsEmpty());
  EXPECT_EQ(bed::received(4), "before");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

// Bytes of every value in an order that repeats only after 251 x 256 bytes, so a lost, doubled
// or reordered piece shows.
std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i + i / 251) & 0xFF);
  return bytes;
}

TEST(Outcomes, OneMegabyteEachWayIsByteExact) {
  REQUIRE_BED();
  BridgeProcess bridge;
  bed::start(bridge);
  scan(bridge);
  const std::string phone = bed::phone(5);
  pair(bridge, phone);
  bridge.send(bed::connect(phone));
  ASSERT_EQ(bridge.nextEvent(60s), bed::connected(phone));

  const std::string bytes = pattern(1 << 20);
  auto start = std::chrono::steady_clock::now();
  // The host writes in 3 KB sends, up to 256 KB ahead of the echo.
  const size_t window = 256 * 1024;
  std::string back;
  size_t sent = 0;
  while (back.size() < bytes.size()) {
    while (sent < bytes.size() && sent - back.size() < window) {
      bridge.send(wire::send(std::string_view(bytes).substr(sent, 3072)));
      sent = std::min(bytes.size(), sent + 3072);
    }
    auto event = bridge.nextEvent(30s);
    if (!event) break;
    auto data = wire::dataBytes(*event);
    ASSERT_TRUE(data) << *event;
    back += *data;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("1 MiB each way in %.1f s\n", seconds);
  EXPECT_EQ(back.size(), bytes.size());
  EXPECT_TRUE(back == bytes) << "echo differs from what was sent";
  EXPECT_TRUE(bed::received(5) == bytes) << "the phone got " << bed::received(5).size() << " bytes";

  // A second connect to the phone already connected fails and leaves the first one working.
  bridge.send(bed::connect(phone));
  auto refusal = bridge.nextEvent(60s);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(*refusal, R"x({"t":"error","error":"Already Connected (0x80BE000B)"})x");
  EXPECT_EQ(bridge.nextEvent(5s), R"({"t":"closed","reason":"не удалось открыть соединение"})");
  EXPECT_EQ(bed::echo(bridge, "still here"), "still here");

  bridge.send(R"({"t":"disconnect"})");
  EXPECT_EQ(bridge.nextEvent(10s), wire::closed);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

}  // namespace
