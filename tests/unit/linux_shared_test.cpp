// The pieces both Linux backends share (src/platform/posix): the watcher's runs, the rules by
// which a pairing request reaches the handlers, the device search handle and the service list.
// Built into the simulated radio's tests and the BlueZ build's, since each links its own copy.
#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <vector>

#include "platform/posix/ceremony.h"
#include "platform/posix/device_search.h"
#include "platform/posix/services.h"
#include "platform/posix/watcher.h"

namespace {

using platform::hresult_error;
using platform::Ref;

const hresult_error refused{static_cast<int32_t>(0x8000000E), u"out of turn"};
const Ref<platform::DeviceInformation> noInfo;

// Takes the watcher to `status` the way a backend's calls would.
uint64_t reach(posix::Watcher& w, int32_t status) {
  if (status == posix::created) return 0;
  uint64_t run = w.start(refused);
  if (status == posix::enumerationCompleted) w.completeEnumeration(run);
  if (status == posix::stopping || status == posix::stopped) w.beginStop(refused);
  if (status == posix::stopped) w.finishStop();
  if (status == posix::aborted) w.abort(run);
  return run;
}

TEST(SharedWatcher, StartsAndStopsOnlyInTurn) {
  struct Case {
    int32_t from;
    bool startable;
    bool stoppable;
  };
  const Case cases[] = {
      {posix::created, true, false},
      {posix::started, false, true},
      {posix::enumerationCompleted, false, true},
      {posix::stopping, false, false},
      {posix::stopped, true, false},
      {posix::aborted, true, false},
  };
  for (const auto& c : cases) {
    posix::Watcher w;
    uint64_t before = reach(w, c.from);
    ASSERT_EQ(w.currentStatus(), c.from);
    if (c.startable) {
      EXPECT_EQ(w.start(refused), before + 1) << c.from;
      EXPECT_EQ(w.currentStatus(), posix::started);
    } else {
      EXPECT_THROW(w.start(refused), hresult_error) << c.from;
      EXPECT_EQ(w.currentStatus(), c.from);
    }
    posix::Watcher v;
    reach(v, c.from);
    if (c.stoppable) {
      v.beginStop(refused);
      EXPECT_EQ(v.currentStatus(), posix::stopping) << c.from;
    } else {
      EXPECT_THROW(v.beginStop(refused), hresult_error) << c.from;
    }
  }
}

TEST(SharedWatcher, WorkOfAnEndedRunFallsSilent) {
  posix::Watcher w;
  int added = 0, enumerated = 0, stopped = 0, asked = 0;
  w.addAdded([&](const Ref<platform::DeviceInformation>&) { ++added; });
  w.addEnumerationCompleted([&] { ++enumerated; });
  w.addStopped([&] { ++stopped; });
  uint64_t first = w.start(refused);
  EXPECT_TRUE(w.report(first, noInfo));
  w.beginStop(refused);
  // Nothing of a stopping run comes after the Stop call.
  EXPECT_FALSE(w.report(first, noInfo));
  w.completeEnumeration(first);
  EXPECT_EQ(w.currentStatus(), posix::stopping);
  w.finishStop();
  uint64_t second = w.start(refused);
  ASSERT_NE(first, second);

  // The first run's thread wakes late: nothing it does reaches the handlers or the status.
  EXPECT_FALSE(w.report(first, noInfo, [&] { return ++asked, true; }));
  w.completeEnumeration(first);
  w.abort(first);
  EXPECT_EQ(asked, 0);  // a backend's own record of the run is not touched either
  EXPECT_EQ(w.currentStatus(), posix::started);
  EXPECT_EQ(added, 1);
  EXPECT_EQ(enumerated, 0);
  EXPECT_EQ(stopped, 1);

  EXPECT_TRUE(w.report(second, noInfo));
  w.completeEnumeration(second);
  EXPECT_EQ(w.currentStatus(), posix::enumerationCompleted);
  EXPECT_TRUE(w.report(second, noInfo));  // devices added later still come
  EXPECT_EQ(added, 3);
  EXPECT_EQ(enumerated, 1);
}

TEST(SharedWatcher, ADeviceAlreadyReportedIsNotRaisedAgain) {
  posix::Watcher w;
  int added = 0;
  w.addAdded([&](const Ref<platform::DeviceInformation>&) { ++added; });
  uint64_t run = w.start(refused);
  EXPECT_TRUE(w.report(run, noInfo, [] { return false; }));
  EXPECT_EQ(added, 0);
}

TEST(SharedWatcher, AnAbortedRunRaisesStoppedAndMayStartAgain) {
  posix::Watcher w;
  int stopped = 0;
  w.addStopped([&] { ++stopped; });
  uint64_t run = w.start(refused);
  w.abort(run);
  EXPECT_EQ(w.currentStatus(), posix::aborted);
  EXPECT_EQ(stopped, 1);
  EXPECT_THROW(w.beginStop(refused), hresult_error);
  EXPECT_NO_THROW(w.start(refused));
}

TEST(SharedWatcher, AFailingHandlerLeavesTheOthersTheirTurn) {
  posix::Watcher w;
  int later = 0;
  w.addEnumerationCompleted([] { throw hresult_error{-1, u"handler"}; });
  w.addEnumerationCompleted([&] { ++later; });
  uint64_t run = w.start(refused);
  EXPECT_NO_THROW(w.completeEnumeration(run));
  EXPECT_EQ(later, 1);
}

enum class Handler { accepts, declines, throws, throwsAfterAccepting };

TEST(SharedCeremony, EndsAsTheWindowsRuntimeEndsIt) {
  constexpr uint32_t confirmOnly = 1, providePin = 4, confirmPinMatch = 8;
  struct Case {
    const char* what;
    int32_t kind;
    uint32_t offered;
    std::vector<Handler> handlers;
    std::optional<int32_t> status;
    int calls;
  };
  const Case cases[] = {
      {"kind not offered", providePin, confirmOnly | confirmPinMatch, {Handler::accepts}, 19, 0},
      {"no handler", confirmOnly, confirmOnly, {}, 16, 0},
      {"declined", confirmPinMatch, confirmPinMatch, {Handler::declines}, 17, 1},
      {"handler failed", confirmOnly, confirmOnly, {Handler::throws}, 17, 1},
      {"accepted", confirmPinMatch, confirmOnly | confirmPinMatch, {Handler::accepts}, {}, 1},
      {"second handler accepts",
       confirmOnly,
       confirmOnly,
       {Handler::throws, Handler::accepts},
       {},
       2},
      {"accepted, then failed", confirmOnly, confirmOnly, {Handler::throwsAfterAccepting}, {}, 1},
  };
  for (const auto& c : cases) {
    posix::PairingHandlers registrations;
    int calls = 0;
    for (Handler h : c.handlers) {
      registrations.add([&calls, h](const Ref<platform::DevicePairingRequestedEventArgs>& r) {
        ++calls;
        if (h == Handler::accepts || h == Handler::throwsAfterAccepting)
          platform::acceptPairingRequest(r);
        if (h == Handler::throws || h == Handler::throwsAfterAccepting)
          throw hresult_error{-1, u"handler"};
      });
    }
    auto request = std::make_shared<platform::DevicePairingRequestedEventArgs>();
    request->kind = c.kind;
    EXPECT_EQ(posix::askHandlers(registrations, c.offered, request), c.status) << c.what;
    EXPECT_EQ(calls, c.calls) << c.what;
  }
}

TEST(SharedCeremony, AnAcceptThePlatformTurnsDownLeavesTheRequestRejected) {
  posix::PairingHandlers registrations;
  std::optional<int32_t> seen;
  registrations.add([&](const Ref<platform::DevicePairingRequestedEventArgs>& r) {
    try {
      platform::acceptPairingRequest(r);
    } catch (const hresult_error& e) {
      seen = e.code;
      throw;
    }
  });
  auto request = std::make_shared<platform::DevicePairingRequestedEventArgs>();
  request->kind = 8;
  request->pin = u"123456";
  request->acceptFailure = hresult_error{static_cast<int32_t>(0x80070005), u"denied"};
  EXPECT_EQ(posix::askHandlers(registrations, 9, request), posix::statusRejectedByHandler);
  EXPECT_EQ(seen, static_cast<int32_t>(0x80070005));
  EXPECT_EQ(platform::pairingRequestPin(request), u"123456");
  EXPECT_EQ(platform::pairingRequestKind(request), 8);
}

TEST(SharedDeviceSearch, HandsOutEachRecordOnceThenNoMoreItems) {
  for (size_t count : {0u, 1u, 3u}) {
    std::vector<platform::DeviceSearchInfo> results;
    for (size_t i = 0; i < count; ++i) results.push_back({0xA0 + i, 0, u"phone"});
    posix::setLastError(0);
    platform::DeviceSearchInfo info;
    platform::DeviceSearch* search = posix::startSearch(results, info);
    if (count == 0) {
      EXPECT_EQ(search, nullptr);
      EXPECT_EQ(platform::lastError(), platform::errorNoMoreItems);
      continue;
    }
    ASSERT_NE(search, nullptr);
    std::vector<uint64_t> seen{info.address};
    while (platform::findNextDevice(search, info)) seen.push_back(info.address);
    EXPECT_EQ(platform::lastError(), platform::errorNoMoreItems);
    EXPECT_FALSE(platform::findNextDevice(search, info));  // and stays at the end
    platform::findDeviceClose(search);
    ASSERT_EQ(seen.size(), count);
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(seen[i], 0xA0 + i);
  }
}

TEST(SharedDeviceSearch, TheLastErrorBelongsToTheCallingThread) {
  posix::setLastError(87);
  uint32_t elsewhere = 1;
  std::thread([&] { elsewhere = platform::lastError(); }).join();
  EXPECT_EQ(elsewhere, 0u);
  EXPECT_EQ(platform::lastError(), 87u);
}

TEST(SharedServices, AnIndexPastTheEndIsOutOfBounds) {
  auto result = std::make_shared<platform::RfcommDeviceServicesResult>();
  result->services.resize(2);
  EXPECT_EQ(platform::servicesSize(result), 2u);
  EXPECT_NO_THROW(platform::serviceAt(result, 1));
  try {
    platform::serviceAt(result, 2);
    ADD_FAILURE() << "no failure past the end";
  } catch (const hresult_error& e) {
    EXPECT_EQ(e.code, static_cast<int32_t>(0x8000000B));
  }
}

}  // namespace
