// Scanning, seen from the host: device events, scan-done, stop-scan and the scan's log lines.
#include <sys/resource.h>

#include <algorithm>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/wire.h"
#include "harness/bridge_process.h"

using harness::BridgeProcess;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

using wire::ready;

using namespace std::chrono_literals;

const std::string scanDone = R"({"t":"scan-done"})";
const std::string enumerated = "[scan] известные устройства перечислены, дальше эфир";
const std::string watcherStopped = "[scan] наблюдатель остановлен";

std::string device(const std::string& addr, const std::string& name, bool paired) {
  return R"({"t":"device","addr":")" + addr + R"(","name":")" + name + R"(","paired":)" +
         (paired ? "true" : "false") + "}";
}

std::vector<std::string> scanLog(const BridgeProcess& bridge) {
  std::vector<std::string> lines;
  for (auto& line : bridge.logLines())
    if (line.rfind("[scan] ", 0) == 0) lines.push_back(line);
  return lines;
}

// The scan lines whose place is fixed: the watcher's own events arrive on its threads, at
// their own time, and are left out.
std::vector<std::string> orderedScanLog(const BridgeProcess& bridge) {
  std::vector<std::string> lines;
  for (auto& line : scanLog(bridge))
    if (line != enumerated && line != watcherStopped) lines.push_back(line);
  return lines;
}

size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// Events up to and including the next scan-done (all of them if it never comes).
std::vector<std::string> eventsUntilScanDone(BridgeProcess& bridge) {
  std::vector<std::string> events;
  while (auto e = bridge.nextEvent(15s)) {
    events.push_back(*e);
    if (*e == scanDone) break;
  }
  return events;
}

// One scan command on a fresh bridge, to its scan-done and the end of input.
std::vector<std::string> scanOnce(BridgeProcess& bridge, const std::string& command) {
  EXPECT_EQ(bridge.nextEvent(), ready);
  bridge.send(command);
  auto events = eventsUntilScanDone(bridge);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  return events;
}

// ---- Length of the inquiry -----------------------------------------------------------------

struct LengthCase {
  const char* name;
  const char* seconds;  // the raw JSON text after "seconds": (null: no key)
  const char* shown;    // the number in the start line
  int multiplier;
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const LengthCase& c, std::ostream* os) {
  *os << c.name;
}

class ScanLength : public testing::TestWithParam<LengthCase> {};

TEST_P(ScanLength, StartLineAndInquiryLineCarryTheSecondsAndTheMultiplier) {
  const auto& c = GetParam();
  // Without an enumeration the status read after Start cannot race with it.
  BridgeProcess bridge({.world = "inquiry-unit-ms 1\nwatcher-enumeration no\n"});
  std::string command = c.seconds ? std::string(R"({"t":"scan","seconds":)") + c.seconds + "}"
                                  : std::string(R"({"t":"scan"})");
  EXPECT_THAT(scanOnce(bridge, command), ElementsAre(scanDone));
  EXPECT_THAT(
      orderedScanLog(bridge),
      ElementsAre(
          std::string("[scan] начинаю опрос, ") + c.shown + " с",
          "[scan] наблюдатель запущен, состояние=1", "[scan] уже сопряжено устройств: 0",
          "[scan] опрашиваю эфир классическим API, " + std::to_string(c.multiplier) + " x 1.28 с",
          "[scan] эфир пуст", "[scan] опрос закончен, устройств найдено: 0"));
}

INSTANTIATE_TEST_SUITE_P(
    Seconds, ScanLength,
    testing::Values(LengthCase{"s1", "1", "1", 1}, LengthCase{"s2", "2", "2", 1},
                    LengthCase{"s3", "3", "3", 2}, LengthCase{"s4", "4", "4", 3},
                    LengthCase{"s5", "5", "5", 3}, LengthCase{"s6", "6", "6", 4},
                    LengthCase{"s7", "7", "7", 5}, LengthCase{"s8", "8", "8", 6},
                    LengthCase{"s9", "9", "9", 7}, LengthCase{"s10", "10", "10", 7},
                    LengthCase{"s11", "11", "11", 8}, LengthCase{"s12", "12", "12", 8},
                    LengthCase{"zero", "0", "0", 6}, LengthCase{"minus1", "-1", "-1", 6},
                    LengthCase{"minus3", "\"-3\"", "-3", 6},
                    LengthCase{"int32Max", "2147483647", "2147483647", 8},
                    LengthCase{"int32Min", "-2147483648", "-2147483648", 6}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Conversion, ScanLength,
    testing::Values(LengthCase{"trailingLetters", "\"10abc\"", "10", 7},
                    LengthCase{"exponentIgnored", "\"1e3\"", "1", 1},
                    LengthCase{"leadingBlank", "\" 10\"", "10", 7},
                    LengthCase{"fraction", "10.9", "10", 7}, LengthCase{"bareThree", "3", "3", 2},
                    LengthCase{"quotedThree", "\"3\"", "3", 2},
                    LengthCase{"missing", nullptr, "8", 6}, LengthCase{"letters", "\"x\"", "8", 6},
                    LengthCase{"empty", "\"\"", "8", 6},
                    LengthCase{"aboveRange", "2147483648", "8", 6},
                    LengthCase{"belowRange", "-2147483649", "8", 6},
                    LengthCase{"farAboveRange", "\"99999999999999999999\"", "8", 6}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ScanLengthTiming, TheInquiryLastsItsUnitsBeforeScanDone) {
  auto timeScan = [](const char* seconds) {
    BridgeProcess bridge({.world = "inquiry-unit-ms 100\n"});
    EXPECT_EQ(bridge.nextEvent(), ready);
    auto start = std::chrono::steady_clock::now();
    bridge.send(std::string(R"({"t":"scan","seconds":)") + seconds + "}");
    EXPECT_EQ(bridge.nextEvent(20s), scanDone);
    return std::chrono::steady_clock::now() - start;
  };
  auto shortScan = timeScan("1");  // 1 unit
  auto longScan = timeScan("12");  // 8 units
  EXPECT_GE(shortScan, 100ms);
  EXPECT_GE(longScan, 800ms);
  EXPECT_LT(shortScan, longScan);
}

// ---- What a scan reports -------------------------------------------------------------------

const char* const phone = "device 12:34:56:78:9A:BC\n  name \"Phone\"\n";

const char* const mixedWorld = R"(inquiry-unit-ms 20
watcher-enumeration no
device a4:50:46:12:34:56
  name "Robot Phone"
  watcher yes
device 00:1A:7D:DA:71:13
  name "Paired One"
  paired yes
device 0a:0b:0c:0d:0e:0f
  name ""
device 11:22:33:44:55:66
  name "Seen Twice"
  heard 2
device 66:55:44:33:22:11
  name "Q\"B\\C\x01D\uD800"
device 77:77:77:77:77:77
  name "cut\0here"
device 88:88:88:88:88:88
  name "\0"
device 99:99:99:99:99:99
  name "Remembered"
  paired yes
  inquiry-authenticated no
device AA:AA:AA:AA:AA:AA
  name "Odd Flag"
  inquiry-authenticated 2
device BB:BB:BB:BB:BB:BB
  name "Silent"
  heard 0
  watcher yes
)";

TEST(ScanReport, EveryInquiryRecordBecomesOneDeviceEventInOrder) {
  BridgeProcess bridge({.world = mixedWorld});
  auto events = scanOnce(bridge, R"({"t":"scan","seconds":3})");
  EXPECT_THAT(events, ElementsAreArray(
                          {device("A4:50:46:12:34:56", "Robot Phone", false),
                           device("00:1A:7D:DA:71:13", "Paired One", true),
                           device("0A:0B:0C:0D:0E:0F", "0A:0B:0C:0D:0E:0F", false),
                           device("11:22:33:44:55:66", "Seen Twice", false),
                           device("11:22:33:44:55:66", "Seen Twice", false),
                           device("66:55:44:33:22:11", "Q\\\"B\\\\C\\u0001D\xEF\xBF\xBD", false),
                           device("77:77:77:77:77:77", "cut", false),
                           device("88:88:88:88:88:88", "88:88:88:88:88:88", false),
                           // Authenticated only in the first search: still paired.
                           device("99:99:99:99:99:99", "Remembered", true),
                           // Only exactly 1 counts as authenticated in the inquiry.
                           device("AA:AA:AA:AA:AA:AA", "Odd Flag", false), scanDone}));
}

TEST(ScanReport, LogNamesEachDeviceRawWithItsPairedMarkAndCountsThem) {
  BridgeProcess bridge({.world = mixedWorld});
  scanOnce(bridge, R"({"t":"scan","seconds":3})");
  EXPECT_THAT(orderedScanLog(bridge),
              ElementsAreArray<std::string>(
                  {"[scan] начинаю опрос, 3 с", "[scan] наблюдатель запущен, состояние=1",
                   "[scan] уже сопряжено устройств: 2",
                   "[scan] опрашиваю эфир классическим API, 2 x 1.28 с",
                   "[scan] эфир: Robot Phone (A4:50:46:12:34:56)",
                   "[scan] эфир: Paired One (00:1A:7D:DA:71:13), сопряжён",
                   "[scan] эфир: 0A:0B:0C:0D:0E:0F (0A:0B:0C:0D:0E:0F)",
                   "[scan] эфир: Seen Twice (11:22:33:44:55:66)",
                   "[scan] эфир: Seen Twice (11:22:33:44:55:66)",
                   "[scan] эфир: Q\"B\\C\x01"
                   "D\xEF\xBF\xBD (66:55:44:33:22:11)",
                   "[scan] эфир: cut (77:77:77:77:77:77)",
                   "[scan] эфир: 88:88:88:88:88:88 (88:88:88:88:88:88)",
                   "[scan] эфир: Remembered (99:99:99:99:99:99), сопряжён",
                   "[scan] эфир: Odd Flag (AA:AA:AA:AA:AA:AA)",
                   "[scan] опрос закончен, устройств найдено: 10"}));
}

TEST(ScanWatcher, LogsTheEndOfItsEnumerationOnceAndItsStopOnce) {
  BridgeProcess bridge({.world = std::string("inquiry-unit-ms 50\n") + phone});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(R"({"t":"scan","seconds":12})");
  EXPECT_TRUE(bridge.waitLog(enumerated));
  EXPECT_EQ(eventsUntilScanDone(bridge).back(), scanDone);
  EXPECT_TRUE(bridge.waitLog(watcherStopped));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto lines = scanLog(bridge);
  EXPECT_EQ(countOf(lines, enumerated), 1u);
  EXPECT_EQ(countOf(lines, watcherStopped), 1u);
}

TEST(ScanReport, LongNamesAreCutWhereTheRecordEnds) {
  std::string name;
  for (int i = 0; i < 300; ++i) name += i < 246 ? "a" : "я";
  BridgeProcess bridge(
      {.world = "inquiry-unit-ms 1\ndevice 01:02:03:04:05:06\n  name \"" + name + "\"\n"});
  auto events = scanOnce(bridge, R"({"t":"scan","seconds":1})");
  // 247 UTF-16 units: 246 letters a and one я.
  EXPECT_THAT(events, ElementsAre(device("01:02:03:04:05:06", std::string(246, 'a') + "я", false),
                                  scanDone));
}

struct PairedCase {
  const char* name;
  const char* world;
  bool paired;
  int pairedCount;
};
void PrintTo(const PairedCase& c, std::ostream* os) {
  *os << c.name;
}

class PairedFlag : public testing::TestWithParam<PairedCase> {};

TEST_P(PairedFlag, ComesFromEitherSearch) {
  const auto& c = GetParam();
  BridgeProcess bridge({.world = std::string("inquiry-unit-ms 1\n") + c.world});
  auto events = scanOnce(bridge, R"({"t":"scan","seconds":1})");
  EXPECT_THAT(events, ElementsAre(device("12:34:56:78:9A:BC", "Phone", c.paired), scanDone));
  auto lines = orderedScanLog(bridge);
  EXPECT_THAT(
      lines, testing::Contains("[scan] уже сопряжено устройств: " + std::to_string(c.pairedCount)));
  EXPECT_THAT(lines, testing::Contains(std::string("[scan] эфир: Phone (12:34:56:78:9A:BC)") +
                                       (c.paired ? ", сопряжён" : "")));
}

INSTANTIATE_TEST_SUITE_P(
    Searches, PairedFlag,
    testing::Values(
        PairedCase{"neither", "device 12:34:56:78:9A:BC\n  name \"Phone\"\n", false, 0},
        PairedCase{"inquiryOnly",
                   "device 12:34:56:78:9A:BC\n  name \"Phone\"\n  inquiry-authenticated yes\n",
                   true, 0},
        PairedCase{"firstSearchOnly",
                   "device 12:34:56:78:9A:BC\n  name \"Phone\"\n  paired yes\n"
                   "  inquiry-authenticated no\n",
                   true, 1},
        PairedCase{"rememberedButNotPaired",
                   "device 12:34:56:78:9A:BC\n  name \"Phone\"\n  remembered yes\n", false, 0},
        PairedCase{"firstSearchFails",
                   "search-remembered-error 0x80070005\n"
                   "device 12:34:56:78:9A:BC\n  name \"Phone\"\n  paired yes\n"
                   "  inquiry-authenticated no\n",
                   false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct InquiryFailure {
  const char* name;
  const char* world;
  const char* line;
};
void PrintTo(const InquiryFailure& c, std::ostream* os) {
  *os << c.name;
}

class InquiryFails : public testing::TestWithParam<InquiryFailure> {};

TEST_P(InquiryFails, IsLoggedAndTheScanStillEnds) {
  const auto& c = GetParam();
  BridgeProcess bridge({.world = std::string("inquiry-unit-ms 1\n") + c.world + phone});
  EXPECT_THAT(scanOnce(bridge, R"({"t":"scan","seconds":2})"), ElementsAre(scanDone));
  auto lines = orderedScanLog(bridge);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], c.line);
  EXPECT_EQ(lines.back(), "[scan] опрос закончен, устройств найдено: 0");
}

INSTANTIATE_TEST_SUITE_P(
    Codes, InquiryFails,
    testing::Values(InquiryFailure{"nothingFound", "search-inquiry-error 259\n",
                                   "[scan] эфир пуст"},
                    InquiryFailure{"radioGone", "search-inquiry-error 1167\n",
                                   "[scan] инквайри не запустился, код 1167"},
                    InquiryFailure{"codeAboveInt32", "search-inquiry-error 0x80070005\n",
                                   "[scan] инквайри не запустился, код 2147942405"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ScanReport, ADeviceOnlyTheWatcherSeesGivesNoEventAndNoCount) {
  BridgeProcess bridge({.world = "inquiry-unit-ms 1\ndevice 0C:0C:0C:0C:0C:0C\n  heard 0\n"
                                 "  watcher yes\n"});
  EXPECT_THAT(scanOnce(bridge, R"({"t":"scan","seconds":1})"), ElementsAre(scanDone));
  auto lines = orderedScanLog(bridge);
  EXPECT_EQ(lines.back(), "[scan] опрос закончен, устройств найдено: 0");
  EXPECT_THAT(lines, testing::Contains("[scan] эфир пуст"));
}

// ---- Watcher set-up failures ---------------------------------------------------------------

struct WatcherFailure {
  const char* name;
  const char* world;
};
void PrintTo(const WatcherFailure& c, std::ostream* os) {
  *os << c.name;
}

class WatcherFails : public testing::TestWithParam<WatcherFailure> {};

TEST_P(WatcherFails, IsLoggedOnceAndTheInquiryStillReportsDevices) {
  BridgeProcess bridge({.world = std::string("inquiry-unit-ms 1\n") + GetParam().world + phone});
  EXPECT_THAT(scanOnce(bridge, R"({"t":"scan","seconds":1})"),
              ElementsAre(device("12:34:56:78:9A:BC", "Phone", false), scanDone));
  EXPECT_THAT(orderedScanLog(bridge),
              ElementsAre("[scan] начинаю опрос, 1 с",
                          "[scan] наблюдатель не запустился: Access is denied. (0x80070005)",
                          "[scan] уже сопряжено устройств: 0",
                          "[scan] опрашиваю эфир классическим API, 1 x 1.28 с",
                          "[scan] эфир: Phone (12:34:56:78:9A:BC)",
                          "[scan] опрос закончен, устройств найдено: 1"));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, WatcherFails,
    testing::Values(WatcherFailure{"selector", "selector-error 0x80070005\n"},
                    WatcherFailure{"create", "watcher-create-error 0x80070005\n"},
                    WatcherFailure{"handler", "watcher-handler-error 0x80070005\n"},
                    WatcherFailure{"start", "watcher-start-error 0x80070005\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WatcherStatus, TheStatusReadAfterStartIsLoggedAsItIs) {
  BridgeProcess bridge({.world = "inquiry-unit-ms 1\nwatcher-status 5\n"});
  scanOnce(bridge, R"({"t":"scan","seconds":1})");
  EXPECT_THAT(orderedScanLog(bridge), testing::Contains("[scan] наблюдатель запущен, состояние=5"));
}

TEST(WatcherSetup, AScanAfterAFailedOneStartsItsWatcher) {
  // A refused Start leaves an unstarted watcher in the slot; the next scan must cope.
  BridgeProcess bridge({.world = "inquiry-unit-ms 1\nwatcher-start-error 0x80070005\n"});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(R"({"t":"scan","seconds":1})");
  EXPECT_THAT(eventsUntilScanDone(bridge), ElementsAre(scanDone));
  bridge.send(R"({"t":"scan","seconds":1})");
  EXPECT_THAT(eventsUntilScanDone(bridge), ElementsAre(scanDone));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(
      countOf(scanLog(bridge), "[scan] наблюдатель не запустился: Access is denied. (0x80070005)"),
      2u);
}

TEST(ScanThread, ALaunchFailureIsLoggedAndScanDoneFollowsAtOnce) {
  // No watcher thread (Start refused) and no other thread yet: the scan thread is the first
  // the bridge creates, and an address-space limit leaves no room for its stack.
  BridgeProcess bridge(
      {.world = "inquiry-unit-ms 1\nwatcher-start-error 0x80070005\n" + std::string(phone)});
  ASSERT_EQ(bridge.nextEvent(), ready);
  std::ifstream status("/proc/" + std::to_string(bridge.pid()) + "/status");
  uint64_t vmKb = 0;
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmSize:", 0) == 0) vmKb = std::stoull(line.substr(7));
  ASSERT_GT(vmKb, 0u);
  rlimit limit{(vmKb + 1024) * 1024, RLIM_INFINITY};
  ASSERT_EQ(prlimit(bridge.pid(), RLIMIT_AS, &limit, nullptr), 0);
  bridge.send(R"({"t":"scan","seconds":1})");
  EXPECT_THAT(eventsUntilScanDone(bridge), ElementsAre(scanDone));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  auto lines = orderedScanLog(bridge);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_THAT(lines[2], StartsWith("[scan] не удалось запустить поток опроса: "));
  EXPECT_EQ(lines[3], "[scan] опрос закончен, устройств найдено: 0");
}

// ---- Stop-scan and overlapping scans -------------------------------------------------------

TEST(StopScan, WithNoScanGivesNoOutputAtAll) {
  BridgeProcess bridge;
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(R"({"t":"stop-scan"})");
  bridge.send(R"({"t":"stop-scan"})");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(bridge.stdoutBytes(), ready + "\r\n");
  EXPECT_EQ(bridge.logLines().size(), 4u);
}

TEST(StopScan, DuringAScanStopsTheWatcherButNotTheInquiry) {
  BridgeProcess bridge(
      {.world = std::string("inquiry-unit-ms 100\nwatcher-enumeration no\n") + phone});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(R"({"t":"scan","seconds":12})");
  ASSERT_TRUE(bridge.waitLog("[scan] опрашиваю эфир"));
  bridge.send(R"({"t":"stop-scan"})");
  ASSERT_TRUE(bridge.waitLog(watcherStopped));
  bridge.send(R"({"t":"stop-scan"})");  // refused by the stopped watcher, silently
  EXPECT_THAT(eventsUntilScanDone(bridge),
              ElementsAre(device("12:34:56:78:9A:BC", "Phone", false), scanDone));
  bridge.send(R"({"t":"stop-scan"})");  // after the scan: refused as well
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_THAT(bridge.drainEvents(), ElementsAre());
  auto lines = scanLog(bridge);
  EXPECT_EQ(countOf(lines, watcherStopped), 1u);
  EXPECT_EQ(lines.back(), "[scan] опрос закончен, устройств найдено: 1");
}

TEST(StopScan, AfterAScanAddsNothing) {
  BridgeProcess bridge({.world = std::string("inquiry-unit-ms 1\n") + phone});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(R"({"t":"scan","seconds":1})");
  EXPECT_EQ(eventsUntilScanDone(bridge).back(), scanDone);
  ASSERT_TRUE(bridge.waitLog(watcherStopped));
  auto before = bridge.logLines();
  bridge.send(R"({"t":"stop-scan"})");
  bridge.send(R"({"t":"stop-scan"})");
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(bridge.logLines(), before);
  EXPECT_THAT(bridge.drainEvents(), ElementsAre());
}

TEST(OverlappingScans, EachEndsWithItsOwnScanDoneAndCountsSinceTheLaterStart) {
  BridgeProcess bridge({.world = std::string("inquiry-unit-ms 100\n") + phone});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(R"({"t":"scan","seconds":12})");  // 8 units
  ASSERT_TRUE(bridge.waitLog("[scan] опрашиваю эфир классическим API, 8 x"));
  bridge.send(R"({"t":"scan","seconds":1})");  // 1 unit: ends first
  auto first = eventsUntilScanDone(bridge);
  auto second = eventsUntilScanDone(bridge);
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_THAT(first, ElementsAre(device("12:34:56:78:9A:BC", "Phone", false), scanDone));
  EXPECT_THAT(second, ElementsAre(device("12:34:56:78:9A:BC", "Phone", false), scanDone));
  auto lines = scanLog(bridge);
  std::vector<std::string> summaries;
  for (auto& line : lines)
    if (line.rfind("[scan] опрос закончен", 0) == 0) summaries.push_back(line);
  EXPECT_THAT(summaries, ElementsAre("[scan] опрос закончен, устройств найдено: 1",
                                     "[scan] опрос закончен, устройств найдено: 2"));
  // The second start stopped the first watcher; the first scan to end stopped the second.
  EXPECT_EQ(countOf(lines, "[scan] начинаю опрос, 12 с"), 1u);
  EXPECT_EQ(countOf(lines, "[scan] начинаю опрос, 1 с"), 1u);
}

TEST(OverlappingScans, ManyAtOnceEachGiveScanDone) {
  BridgeProcess bridge({.world = std::string("inquiry-unit-ms 5\n") + phone});
  ASSERT_EQ(bridge.nextEvent(), ready);
  for (int i = 0; i < 8; ++i) {
    bridge.send(R"({"t":"scan","seconds":1})");
    bridge.send(R"({"t":"stop-scan"})");
  }
  std::vector<std::string> events;
  for (int done = 0; done < 8;) {
    auto e = bridge.nextEvent(15s);
    if (!e) break;
    events.push_back(*e);
    if (*e == scanDone) ++done;
  }
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(countOf(events, scanDone), 8u);
  EXPECT_EQ(countOf(events, device("12:34:56:78:9A:BC", "Phone", false)), 8u);
}

TEST(EndOfInput, DuringAScanEndsTheProcessWithoutScanDone) {
  BridgeProcess bridge({.world = std::string("inquiry-unit-ms 2000\n") + phone});
  ASSERT_EQ(bridge.nextEvent(), ready);
  bridge.send(R"({"t":"scan","seconds":12})");
  ASSERT_TRUE(bridge.waitLog("[scan] опрашиваю эфир"));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
  EXPECT_EQ(bridge.stdoutBytes(), ready + "\r\n");
}

}  // namespace
