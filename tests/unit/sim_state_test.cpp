// The simulated world's run-time state, driven by control lines as a test's channel sends
// them: followers hear each new adapter state once and in order, waits on the air end as soon
// as the radio or the phone goes, and a link that is lost still gives what arrived before.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/control.h"
#include "platform/sim/phone.h"
#include "platform/sim/state.h"

namespace {

using namespace std::chrono_literals;
using platform::AdapterState;

const std::string phoneText = "A4:50:46:12:34:56";  // the default world's phone
constexpr uint64_t phone = 0xA45046123456;

// Every test leaves the world as the default world has it.
class SimState : public testing::Test {
 protected:
  void TearDown() override {
    for (const char* line : {"adapter add", "radio on", "phone A4:50:46:12:34:56 on"})
      EXPECT_EQ(sim::applyControlLine(line), "ok");
  }
};

TEST_F(SimState, FollowersHearEachNewStateOnceInOrder) {
  sim::world().stackRestartMs = 20;
  std::mutex lock;
  std::vector<AdapterState> heard;
  auto [now, token] = sim::followAdapter([&](const sim::AdapterNow& a) {
    std::lock_guard guard(lock);
    heard.push_back(a.state);
  });
  EXPECT_EQ(now.state, AdapterState::on);
  // Each change is heard before its line is answered; repeats and changes that leave the
  // state as it was are not heard at all.
  for (const char* line : {"radio off", "radio off", "adapter remove", "radio on", "adapter add",
                           "adapter add", "stack restart", "phone A4:50:46:12:34:56 off"})
    EXPECT_EQ(sim::applyControlLine(line), "ok") << line;
  sim::unfollow(token);
  EXPECT_EQ(sim::applyControlLine("radio off"), "ok");
  std::lock_guard guard(lock);
  EXPECT_EQ(heard, (std::vector{AdapterState::off, AdapterState::absent, AdapterState::on,
                                AdapterState::absent, AdapterState::on}));
  // The adapter plugged back in is another device; the one the stack brings back is not.
  EXPECT_EQ(sim::adapterNow().instance, now.instance + 1);
}

TEST(SimControl, AnswersALineItCannotCarryOutWithWhatIsWrong) {
  for (const char* line :
       {"", "radio", "radio sideways", "radio off now", "adapter unplug", "stack stop",
        "phone A4:50:46:12:34 off", "phone 00:00:00:00:00:01 off", "phone A4:50:46:12:34:56"})
    EXPECT_EQ(sim::applyControlLine(line).rfind("error: ", 0), 0u) << '"' << line << '"';
  EXPECT_TRUE(sim::onAir());
  EXPECT_TRUE(sim::inRange(phone));
}

struct LossCase {
  const char* line;
  uint64_t address;  // what the waiting operation is about
  sim::Loss loss;
};
void PrintTo(const LossCase& c, std::ostream* os) {
  *os << c.line;
}

class WaitOnTheAir : public SimState, public testing::WithParamInterface<LossCase> {};

TEST_P(WaitOnTheAir, EndsAtOnceWithWhatWasLost) {
  sim::Since mark = sim::since(GetParam().address);
  auto waited = std::async(std::launch::async, [&] { return sim::waitOnAir(60'000, mark); });
  EXPECT_EQ(waited.wait_for(50ms), std::future_status::timeout);
  EXPECT_EQ(sim::applyControlLine(GetParam().line), "ok");
  ASSERT_EQ(waited.wait_for(10s), std::future_status::ready) << "the wait never ended";
  EXPECT_EQ(waited.get(), GetParam().loss);
  // What was lost stays lost for work begun before it.
  EXPECT_EQ(sim::lost(mark), GetParam().loss);
}

INSTANTIATE_TEST_SUITE_P(Faults, WaitOnTheAir,
                         testing::Values(LossCase{"radio off", 0, sim::Loss::offAir},
                                         LossCase{"adapter remove", phone, sim::Loss::offAir},
                                         LossCase{"phone A4:50:46:12:34:56 off", phone,
                                                  sim::Loss::phone}));

// Starts an operation and waits for it with a generous bound: its value, or the code it failed
// with.
template <typename Start>
std::pair<uint32_t, int32_t> outcome(Start start) {
  auto result = std::async(std::launch::async, [start]() -> std::pair<uint32_t, int32_t> {
    try {
      return {start().get(), 0};
    } catch (const platform::hresult_error& e) {
      return {0, e.code};
    }
  });
  if (result.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "the operation never completed";
    std::abort();  // the thread still waits on it
  }
  return result.get();
}

struct LinkLossCase {
  const char* line;
  int32_t code;
};
void PrintTo(const LinkLossCase& c, std::ostream* os) {
  *os << c.line;
}

class LinkLoss : public SimState, public testing::WithParamInterface<LinkLossCase> {};

TEST_P(LinkLoss, LeavesWhatArrivedToBeReadThenFailsBothWays) {
  sim::Device device;
  device.address = phone;
  auto link = sim::Link::open(device);
  const std::string sent = "echoed before the fault";
  link->write({reinterpret_cast<const uint8_t*>(sent.data()), sent.size()});
  ASSERT_EQ(outcome([&] { return link->store(); }), std::make_pair(uint32_t(sent.size()), 0));
  EXPECT_EQ(sim::applyControlLine(GetParam().line), "ok");
  auto [loaded, failed] = outcome([&] { return link->load(4096, true); });
  ASSERT_EQ(loaded, sent.size());
  std::string got(loaded, '\0');
  link->read({reinterpret_cast<uint8_t*>(got.data()), got.size()});
  EXPECT_EQ(got, sent);
  EXPECT_EQ(outcome([&] { return link->load(4096, true); }).second, GetParam().code);
  link->write({reinterpret_cast<const uint8_t*>(sent.data()), 1});
  EXPECT_EQ(outcome([&] { return link->store(); }).second, GetParam().code);
  link->close();
}

INSTANTIATE_TEST_SUITE_P(Faults, LinkLoss,
                         testing::Values(LinkLossCase{"phone A4:50:46:12:34:56 off",
                                                      sim::linkAborted},
                                         LinkLossCase{"radio off", sim::networkDown},
                                         LinkLossCase{"adapter remove", sim::networkDown}));

}  // namespace
