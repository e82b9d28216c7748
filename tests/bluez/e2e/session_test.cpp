// A host's whole session on the real Linux stack, two phones that accept and echo, the second
// with a serial port open to unpaired peers (phones 1 and 2 of the faults' boot, .ci/bluez.sh):
// start-up, scan, numeric-comparison pairing, connect, echo both ways, disconnect, a connect to the
// other phone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "bluez/e2e/bed.h"

using harness::BridgeProcess;
using testing::Contains;
using testing::HasSubstr;

namespace {

using namespace std::chrono_literals;

// Bytes of every value, so no byte is special on the way.
std::string everyByte(size_t size, uint8_t seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed) & 0xFF);
  return bytes;
}

TEST(Session, StartsWithTheAdapterAndItsOwnBackendName) {
  REQUIRE_BED();
  BridgeProcess bridge;
  bed::start(bridge);
  auto log = bridge.logLines();
  EXPECT_THAT(log, Contains("[start] адаптер найден, classic=да"));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(bridge.stdoutBytes(), bed::ready + "\r\n");
}

TEST(Session, ScanPairConnectEchoDisconnectThenTheOtherPhone) {
  REQUIRE_BED();
  const std::string one = bed::phone(1), two = bed::phone(2);
  ASSERT_FALSE(two.empty()) << "run with --phones 2";
  BridgeProcess bridge;
  bed::start(bridge);

  // Scan: both phones, by name, not paired; then scan-done.
  bridge.send(R"({"t":"scan","seconds":2})");
  std::vector<std::string> found;
  for (;;) {
    auto event = bridge.nextEvent(30s);
    ASSERT_TRUE(event) << "no scan-done";
    if (*event == bed::scanDone) break;
    found.push_back(*event);
  }
  EXPECT_THAT(found, Contains(bed::device(one, "Robot Phone 1", false)));
  EXPECT_THAT(found, Contains(bed::device(two, "Robot Phone 2", false)));
  EXPECT_TRUE(bridge.waitLog("[scan] опрос закончен, устройств найдено: "));

  // Numeric comparison: the PIN the stack shows (the emulated controllers always show 000000),
  // then the result; the phone was asked the same number.
  bridge.send(bed::pair(one));
  EXPECT_EQ(bridge.nextEvent(30s), R"({"t":"pairing-code","code":"000000"})");
  EXPECT_EQ(bridge.nextEvent(30s), bed::paired(one));
  EXPECT_TRUE(bed::waitPhoneEvent(1, "RequestConfirmation", 1s)) << bed::events(1);
  EXPECT_THAT(bed::events(1), HasSubstr(" 000000 accept"));
  EXPECT_THAT(bridge.logLines(), Contains("[pair] система просит подтверждения, вид=8"));

  // Paired now: a second pair needs no confirmation, and a scan says so.
  bridge.send(bed::pair(one));
  EXPECT_EQ(bridge.nextEvent(20s), bed::paired(one));
  EXPECT_TRUE(bridge.waitLog("[pair] уже сопряжён, подтверждение не нужно"));
  bridge.send(R"({"t":"scan","seconds":1})");
  found.clear();
  for (;;) {
    auto event = bridge.nextEvent(30s);
    ASSERT_TRUE(event) << "no scan-done";
    if (*event == bed::scanDone) break;
    found.push_back(*event);
  }
  EXPECT_THAT(found, Contains(bed::device(one, "Robot Phone 1", true)));

  // Connect and echo, byte-exact both ways.
  bridge.send(bed::connect(one));
  ASSERT_EQ(bridge.nextEvent(40s), bed::connected(one));
  std::string bytes = everyByte(3000, 1);
  EXPECT_EQ(bed::echo(bridge, bytes), bytes);
  EXPECT_EQ(bed::received(1), bytes);

  // Disconnect: one "closed", and the phone sees its link end.
  bridge.send(R"({"t":"disconnect"})");
  EXPECT_EQ(bridge.nextEvent(10s), wire::closed);
  EXPECT_TRUE(bed::waitPhoneEvent(1, "disconnected", 10s)) << bed::events(1);
  auto gone = bed::waitLinkGone(one, 30s);
  ASSERT_TRUE(gone) << bed::links();
  std::printf("link to phone 1 gone %lld ms after its socket\n",
              static_cast<long long>(gone->count()));

  // The other phone, never paired and never asked for its records: the services come from
  // asking it.
  bridge.send(bed::connect(two));
  ASSERT_EQ(bridge.nextEvent(60s), bed::connected(two));
  EXPECT_TRUE(bridge.waitLog("[connect] найдено служб (с телефона): 1"));
  bytes = everyByte(5000, 2);
  EXPECT_EQ(bed::echo(bridge, bytes), bytes);
  EXPECT_EQ(bed::received(2), bytes);
  bridge.send(R"({"t":"disconnect"})");
  EXPECT_EQ(bridge.nextEvent(10s), wire::closed);
  EXPECT_TRUE(bed::waitPhoneEvent(2, "disconnected", 10s)) << bed::events(2);
  EXPECT_THAT(bridge.drainEvents(500ms), testing::IsEmpty());

  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

}  // namespace
