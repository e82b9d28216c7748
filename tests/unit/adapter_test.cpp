// What the bridge does when the adapter goes away and comes back, driven through the state
// the platform reports, on the simulated radio's default world (one phone that pairs in 20 ms
// and connects in 5 ms).
#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "connection/connection.h"
#include "discovery/scan.h"
#include "host/adapter.h"
#include "host/report.h"
#include "pairing/pairing.h"
#include "platform/sim/state.h"
#include "support/capture_stdout.h"

namespace {

using namespace std::chrono_literals;
using platform::AdapterState;
using testing::ElementsAre;
using testing::IsEmpty;

const std::string phone = "A4:50:46:12:34:56";

std::vector<std::string> lines(const std::string& bytes) {
  std::vector<std::string> out;
  for (size_t start = 0, end; (end = bytes.find("\r\n", start)) != std::string::npos;
       start = end + 2)
    out.push_back(bytes.substr(start, end - start));
  return out;
}

bool waitFor(auto done) {
  for (int i = 0; i < 400 && !done(); ++i) std::this_thread::sleep_for(5ms);
  return done();
}

// As the platform does it: the bridge hears of the change first, then what was on the air
// fails (the open link among it, after the bytes that had arrived).
void radioOff() {
  adapterChanged(AdapterState::off);
  sim::switchRadio(false);
}
void radioOn() {
  sim::switchRadio(true);
  adapterChanged(AdapterState::on);
}

// Leaves the process-wide state as the other tests expect it.
class AdapterLoss : public testing::Test {
 protected:
  void SetUp() override { useProtocol(Protocol::v2); }
  void TearDown() override {
    // Whatever is still open or under way is answered here, at once, rather than in the next
    // test's capture.
    captureStdout([] {
      radioOff();
      radioOn();
      // The platform's own side of what was answered (a pairing ceremony, an inquiry) ends
      // too before the process may exit under it.
      std::this_thread::sleep_for(300ms);
    });
    useProtocol(Protocol::v1);
  }
};

TEST_F(AdapterLoss, AnswersEverythingUnderWayOnceAndAtOnce) {
  std::string out = captureStdout([] {
    doConnect({.id = "1", .addr = phone, .policy = ConnectPolicy::add});
    ASSERT_TRUE(waitFor([] { return currentConnection() != nullptr; }));
    startScan(8, "2");
    doPair({.id = "3", .addr = phone});
    // Another phone address: the open connection must not refuse it.
    doConnect({.id = "4", .addr = "A4:50:46:65:43:21", .policy = ConnectPolicy::add});
    radioOff();
    // The pairing, the connect and the inquiry finish on the platform's side meanwhile; none
    // of them may say anything more.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(currentConnection(), nullptr);
  });
  const std::string off = "адаптер Bluetooth выключен или не найден — включи Bluetooth и повтори";
  EXPECT_THAT(
      lines(out),
      ElementsAre(
          R"({"t":"connected","id":1,"addr":"A4:50:46:12:34:56"})",
          R"({"t":"adapter","state":"off"})",
          R"({"t":"closed","id":4,"addr":"A4:50:46:65:43:21","code":"ADAPTER_OFF","reason":"адаптер Bluetooth недоступен"})",
          R"({"t":"error","id":4,"addr":"A4:50:46:65:43:21","code":"ADAPTER_OFF","error":")" + off +
              R"("})",
          R"({"t":"pair-result","id":3,"addr":"A4:50:46:12:34:56","ok":false,"code":"ADAPTER_OFF","error":")" +
              off + R"("})",
          R"({"t":"scan-done","id":2,"code":"ADAPTER_OFF","error":")" + off + R"("})",
          R"({"t":"closed","addr":"A4:50:46:12:34:56","code":"ADAPTER_OFF","reason":"соединение закрыто"})"));
}

TEST_F(AdapterLoss, ALinkThePlatformLeavesOpenIsClosedByTheBridgeOnce) {
  std::string out = captureStdout([] {
    doConnect({.id = "1", .addr = phone, .policy = ConnectPolicy::add});
    ASSERT_TRUE(waitFor([] { return currentConnection() != nullptr; }));
    // Only the bridge hears of it: the simulated radio stays on air and keeps the link.
    adapterChanged(AdapterState::off);
    for (int i = 0; i < 400 && currentConnection(); ++i) std::this_thread::sleep_for(25ms);
    EXPECT_EQ(currentConnection(), nullptr);
    std::this_thread::sleep_for(300ms);
  });
  EXPECT_THAT(
      lines(out),
      ElementsAre(
          R"({"t":"connected","id":1,"addr":"A4:50:46:12:34:56"})",
          R"({"t":"adapter","state":"off"})",
          R"({"t":"closed","addr":"A4:50:46:12:34:56","code":"ADAPTER_OFF","reason":"соединение закрыто"})"));
}

TEST_F(AdapterLoss, CommandsFailAtOnceWhileItIsOffAndWorkOnceItIsBack) {
  adapterChanged(AdapterState::absent);
  std::string refused = captureStdout([] {
    startScan(1, "1");
    doPair({.id = "2", .addr = phone});
    doConnect({.id = "3", .addr = phone, .policy = ConnectPolicy::add});
  });
  EXPECT_THAT(lines(refused), testing::SizeIs(4)) << refused;
  EXPECT_THAT(refused, testing::Not(testing::HasSubstr(R"("ok":true)")));

  std::string back = captureStdout([] {
    adapterChanged(AdapterState::on);
    doConnect({.id = "4", .addr = phone, .policy = ConnectPolicy::add});
    ASSERT_TRUE(waitFor([] { return currentConnection() != nullptr; }));
  });
  EXPECT_THAT(lines(back), ElementsAre(R"({"t":"adapter","state":"on"})",
                                       R"({"t":"connected","id":4,"addr":"A4:50:46:12:34:56"})"));
}

TEST_F(AdapterLoss, Protocol1SeesOnlyTodaysEventShapes) {
  useProtocol(Protocol::v1);
  std::string out = captureStdout([] {
    doConnect({.addr = phone});
    ASSERT_TRUE(waitFor([] { return currentConnection() != nullptr; }));
    doPair({.addr = phone});
    radioOff();
    ASSERT_TRUE(waitFor([] { return currentConnection() == nullptr; }));
    doConnect({.addr = phone});
    startScan(1);
  });
  const std::string off = "адаптер Bluetooth выключен или не найден — включи Bluetooth и повтори";
  EXPECT_THAT(
      lines(out),
      ElementsAre(
          R"({"t":"connected","addr":"A4:50:46:12:34:56"})",
          R"({"t":"pair-result","addr":"A4:50:46:12:34:56","ok":false,"error":")" + off + R"("})",
          R"({"t":"closed","reason":"соединение закрыто"})",
          R"({"t":"error","error":")" + off + R"("})",
          R"({"t":"closed","reason":"адаптер Bluetooth недоступен"})", R"({"t":"scan-done"})"));
}

}  // namespace
