// Pair and connect to phones BlueZ no longer lists: it drops a device that is neither paired nor
// connected some 30 s after the discovery that found it, and the host, which found the phone in
// a scan, expects it to work as on Windows. Run in the faults' boot: phone 6 pairs by numeric
// comparison (and is a stranger again afterwards), phone 7's serial port is open to unpaired peers
// (security=low).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bluez/e2e/bed.h"

using harness::BridgeProcess;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A scan that finds the phone, then BlueZ forgets it.
void findThenForget(BridgeProcess& bridge, const std::string& phone) {
  bridge.send(R"({"t":"scan","seconds":2})");
  ASSERT_TRUE(bridge.waitEvent(phone, 30s)) << "the scan did not find " << phone;
  ASSERT_TRUE(bridge.waitEvent(bed::scanDone, 30s));
  ASSERT_TRUE(bed::waitNoLinks(30s)) << bed::links();
  bed::forget(phone);
}

TEST(Forgotten, PairFindsThePhoneAgain) {
  REQUIRE_BED();
  const std::string phone = bed::phone(6);
  BridgeProcess bridge;
  bed::start(bridge);
  findThenForget(bridge, phone);
  auto start = Clock::now();
  bridge.send(bed::pair(phone));
  EXPECT_EQ(bridge.nextEvent(30s), R"({"t":"pairing-code","code":"000000"})");
  EXPECT_EQ(bridge.nextEvent(30s), bed::paired(phone));
  std::printf("paired %.1f s after asking, BlueZ having forgotten the phone\n", since(start));
  EXPECT_TRUE(bridge.waitLog("[resolve] устройство " + phone + " опознано по адресу"));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  bed::forget(phone);
  bed::forget("00:AA:01:00:00:00", "hci6");
}

TEST(Forgotten, ConnectFindsThePhoneAgain) {
  REQUIRE_BED();
  const std::string phone = bed::phone(7);
  BridgeProcess bridge;
  bed::start(bridge);
  findThenForget(bridge, phone);
  auto start = Clock::now();
  bridge.send(bed::connect(phone));
  ASSERT_EQ(bridge.nextEvent(60s), bed::connected(phone));
  std::printf("connected %.1f s after asking, BlueZ having forgotten the phone\n", since(start));
  EXPECT_EQ(bed::echo(bridge, "found again"), "found again");
  bridge.send(R"({"t":"disconnect"})");
  EXPECT_EQ(bridge.nextEvent(10s), wire::closed);
  EXPECT_THAT(bed::received(7), testing::EndsWith("found again"));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

}  // namespace
