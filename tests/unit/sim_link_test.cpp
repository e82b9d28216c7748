// The simulated link to a live phone, driven directly: a store that meets a phone already
// gone fails with the link's code at once.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "harness/live_phone.h"
#include "platform/sim/phone.h"

namespace {

using namespace std::chrono_literals;

// Starts the operation and waits for it, with a generous bound on both; the code it failed
// with, or 0.
template <typename Start>
int32_t outcome(Start start) {
  auto result = std::async(std::launch::async, [start]() -> int32_t {
    try {
      start().get();
      return 0;
    } catch (const platform::hresult_error& e) {
      return e.code;
    }
  });
  if (result.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "the operation never completed";
    std::abort();  // the thread still waits on it
  }
  return result.get();
}

struct GoneCase {
  const char* name;
  std::vector<sim::PhoneStep> onConnect;  // empty: the phone hangs up its socket
  int32_t code;
};
void PrintTo(const GoneCase& c, std::ostream* os) {
  *os << c.name;
}

class StoreToAGonePhone : public testing::TestWithParam<GoneCase> {};

TEST_P(StoreToAGonePhone, FailsWithTheLinksCode) {
  harness::LivePhone socket;
  sim::Device device;
  device.phone = sim::PhoneMode::live;
  device.livePath = socket.path();
  device.onConnect = GetParam().onConnect;
  auto link = sim::Link::open(device);
  ASSERT_TRUE(socket.accept());
  if (GetParam().onConnect.empty()) socket.close();
  // The pending load ends once the link has seen the phone go.
  (void)outcome([&] { return link->load(1, true); });
  const uint8_t bytes[] = {1, 2, 3};
  link->write(bytes);
  EXPECT_EQ(outcome([&] { return link->store(); }), GetParam().code);
  link->close();
  socket.close();
}

INSTANTIATE_TEST_SUITE_P(Ends, StoreToAGonePhone,
                         testing::Values(GoneCase{"hungUp", {}, sim::linkReset},
                                         GoneCase{"dropped",
                                                  {sim::PhoneStep{sim::PhoneStep::drop, "", 0}},
                                                  sim::linkAborted}));

// The platform documents no write into a writer while its store is pending: the simulated
// writer refuses one, so a bridge that wrote early would see its send fail.
TEST(SimLink, RefusesAWriteWhileAStoreIsPending) {
  harness::LivePhone socket;
  sim::Device device;
  device.phone = sim::PhoneMode::live;
  device.livePath = socket.path();
  auto link = sim::Link::open(device);
  ASSERT_TRUE(socket.accept());
  // More than the socket holds, so the store waits for the phone to read.
  std::vector<uint8_t> block(8u << 20, 0x5A);
  link->write(block);
  auto store = link->store();
  const uint8_t more[] = {1};
  int32_t refused = 0;
  try {
    link->write(more);
  } catch (const platform::hresult_error& e) {
    refused = e.code;
  }
  EXPECT_EQ(refused, sim::illegalCall);
  EXPECT_EQ(socket.read(block.size()).size(), block.size());
  EXPECT_EQ(outcome([&] { return std::move(store); }), 0);
  EXPECT_NO_THROW(link->write(more));
  link->close();
  socket.close();
}

}  // namespace
