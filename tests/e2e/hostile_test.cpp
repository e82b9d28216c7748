// Hostile text from the air and the platform: device names, PINs, device ids and error
// messages holding quotes, backslashes, control bytes, line breaks, "\u" look-alikes, lone
// surrogates and names at the radio's length limit. Each must reach the host as exactly one
// well-formed event line whose decoded JSON text is the platform's text as UTF-8, and the log
// as the same text, unescaped.
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness/bridge_process.h"
#include "support/strict_json.h"

using harness::BridgeProcess;
using strict_json::utf8FromUtf16;
using testing::HasSubstr;

namespace {

// ---- Reading events ----------------------------------------------------------------------

// The fields of one event line, strings decoded. A failure unless the line is one flat object
// of strict strings and literals, in well-formed UTF-8, with no key twice.
std::map<std::string, std::string> parseEvent(const std::string& line) {
  std::map<std::string, std::string> fields;
  auto object = strict_json::flatObject(line);
  bool ok = object && strict_json::validUtf8(line);
  for (const auto& field : object.value_or(std::vector<strict_json::Field>{})) {
    auto key = strict_json::decodeString(field.key);
    auto value = field.quoted ? strict_json::decodeString(field.value) : std::string(field.value);
    ok = ok && fields.emplace(*key, *value).second;
  }
  EXPECT_TRUE(ok) << "not a well-formed JSON object: " << line;
  return ok ? fields : std::map<std::string, std::string>{};
}

// ---- Writing worlds and commands --------------------------------------------------------

// A world text literal with every unit written as \uXXXX, so that any unit survives.
std::string worldLiteral(const std::u16string& units) {
  std::string out = "\"";
  char buf[8];
  for (char16_t u : units) {
    std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(u));
    out += buf;
  }
  return out + "\"";
}

// A quoted command value as the bridge's scanner reads it back byte for byte.
std::string commandLiteral(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\')
      out += '\\', out += c;
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else
      out += c;
  }
  return out + "\"";
}

std::string address(int i) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "00:00:5E:00:53:%02X", i);
  return buf;
}

// Texts a radio or a careless phone may hand us.
const std::vector<std::pair<const char*, std::u16string>> hostileTexts = {
    {"quotes", u"Robot \"R2\" \"\""},
    {"backslashes", u"a\\b\\\\c\\"},
    {"controlBytes", u"\x01\x02\x1F\x7F bell\x07 esc\x1B"},
    {"lineBreaks", u"first\r\nsecond\nthird\r\ttab"},
    {"escapeLookalikes", u"\\u0041 \\n \\\" \\xD800"},
    {"jsonInjection", u"\",\"paired\":true,\"x\":\"}"},
    {"loneHighSurrogate", u"a\xD800z"},
    {"loneLowSurrogate", u"\xDC00z"},
    {"reversedPair", u"\xDC00\xD800"},
    {"highAtEnd", u"end\xDBFF"},
    {"wellFormedPair", u"smile \xD83D\xDE00"},
    {"cyrillic", u"Телефон робота №1"},
    {"units247", std::u16string(247, u'я')},
    {"units248", std::u16string(248, u'ж')},
    {"pairCutAt247", std::u16string(246, u'a') + u"\xD83D\xDE00"},
    {"zeroInside", std::u16string(u"before\0after", 12)},
    {"ascii248", std::u16string(247, u'n') + u'"'},
};

// The name the inquiry reports: up to its zero, at most 247 units, the address when empty.
std::string reportedName(const std::u16string& name, const std::string& addr) {
  std::u16string cut = name.substr(0, name.find(u'\0')).substr(0, 247);
  return cut.empty() ? addr : utf8FromUtf16(cut);
}

TEST(HostileAir, EachNameGivesOneWellFormedDeviceEventAndARawLogLine) {
  std::string world = "inquiry-unit-ms 1\n";
  std::map<std::string, std::string> expected;  // address -> name
  for (size_t i = 0; i < hostileTexts.size(); ++i) {
    std::string addr = address(static_cast<int>(i));
    world += "device " + addr + "\n  name " + worldLiteral(hostileTexts[i].second) + "\n";
    expected[addr] = reportedName(hostileTexts[i].second, addr);
  }
  world += "device " + address(0xEE) + "\n  name \"\"\n";
  expected[address(0xEE)] = address(0xEE);
  // Spot checks of what the conversion must give.
  EXPECT_EQ(expected[address(6)], "a\xEF\xBF\xBDz");
  EXPECT_EQ(expected[address(14)], std::string(246, 'a') + "\xEF\xBF\xBD");
  EXPECT_EQ(expected[address(15)], "before");

  BridgeProcess bridge({.world = world});
  bridge.send(R"({"t":"scan","seconds":1})");
  std::vector<std::string> events;
  for (;;) {
    auto e = bridge.nextEvent();
    ASSERT_TRUE(e) << "no scan-done";
    if (*e == R"({"t":"scan-done"})") break;
    if (e->find(R"({"t":"device",)") == 0) events.push_back(*e);
  }
  ASSERT_EQ(events.size(), expected.size());
  std::set<std::string> seen;
  std::string log = bridge.logBytes();
  for (const auto& line : events) {
    for (unsigned char c : line) EXPECT_GE(c, 0x20) << "a raw control byte in " << line;
    auto fields = parseEvent(line);
    ASSERT_EQ(fields.size(), 4u) << line;
    EXPECT_EQ(fields["t"], "device");
    EXPECT_EQ(fields["paired"], "false");
    std::string addr = fields["addr"];
    ASSERT_TRUE(expected.count(addr)) << line;
    EXPECT_TRUE(seen.insert(addr).second) << "reported twice: " << addr;
    EXPECT_EQ(fields["name"], expected[addr]) << "for " << addr;
    EXPECT_THAT(log, HasSubstr("[scan] эфир: " + expected[addr] + " (" + addr + ")\r\n"));
  }
  EXPECT_THAT(log, HasSubstr("[scan] опрос закончен, устройств найдено: " +
                             std::to_string(expected.size()) + "\r\n"));

  // Still serving.
  bridge.send("after the storm");
  EXPECT_TRUE(bridge.waitLog("[cmd] незнакомая команда: «» в строке: after the storm"));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(HostileAir, EachPinGivesOneWellFormedPairingCodeEvent) {
  std::string world = "inquiry-unit-ms 1\n";
  for (size_t i = 0; i < hostileTexts.size(); ++i)
    world += "device " + address(static_cast<int>(i)) + "\n  pairing pin\n  pair-delay-ms 1\n" +
             "  pin " + worldLiteral(hostileTexts[i].second) + "\n";
  BridgeProcess bridge({.world = world});
  ASSERT_TRUE(bridge.nextEvent());  // ready
  for (size_t i = 0; i < hostileTexts.size(); ++i) {
    SCOPED_TRACE(hostileTexts[i].first);
    std::string addr = address(static_cast<int>(i));
    bridge.send(R"({"t":"pair","addr":")" + addr + R"("})");
    auto code = bridge.nextEvent();
    auto result = bridge.nextEvent();
    ASSERT_TRUE(code && result);
    auto codeFields = parseEvent(*code);
    EXPECT_EQ(codeFields.size(), 2u) << *code;
    EXPECT_EQ(codeFields["t"], "pairing-code");
    // The PIN is passed on whole: no cut at a zero or at any length.
    EXPECT_EQ(codeFields["code"], utf8FromUtf16(hostileTexts[i].second));
    EXPECT_EQ(*result, R"({"t":"pair-result","addr":")" + addr + R"(","ok":true})");
  }
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(HostileAir, HostileDeviceIdsWorkAsAddressTextsAndComeBackEscaped) {
  // A watcher id's text after its last "#" is a key the host may use as the address text.
  std::vector<std::u16string> keys = {u"\"quoted\" \\ back", u"line\r\nbreak\ttab\x01",
                                      u"lone\xD800 half", u"\\u0041\\\"", u"ключ"};
  // The watcher must not be stopped by the end of a 1 ms scan before it has reported.
  std::string world = "inquiry-unit-ms 1\nwatcher-stop refuse-always\n";
  for (size_t i = 0; i < keys.size(); ++i)
    world += "device " + address(static_cast<int>(i)) + "\n  watcher yes\n  heard 0\n" +
             "  pairing confirm\n  pair-delay-ms 1\n  id " +
             worldLiteral(u"Bluetooth#Bluetooth" + keys[i]) + "\n";
  BridgeProcess bridge({.world = world});
  bridge.send(R"({"t":"scan","seconds":1})");
  ASSERT_TRUE(bridge.waitEvent("scan-done"));
  ASSERT_TRUE(bridge.waitLog("[scan] известные устройства перечислены, дальше эфир"));
  for (const auto& key16 : keys) {
    std::string key = utf8FromUtf16(u"Bluetooth" + key16);
    SCOPED_TRACE(key);
    bridge.send(R"({"t":"pair","addr":)" + commandLiteral(key) + "}");
    auto result = bridge.nextEvent();
    ASSERT_TRUE(result);
    auto fields = parseEvent(*result);
    EXPECT_EQ(fields["t"], "pair-result");
    EXPECT_EQ(fields["addr"], key);
    EXPECT_EQ(fields["ok"], "true") << *result;
    EXPECT_THAT(bridge.logBytes(), HasSubstr("[pair] запрошено сопряжение с " + key + "\r\n"));
  }
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

TEST(HostileAir, HostileErrorMessagesReachEventsEscapedAndTheLogRaw) {
  const std::u16string message = u"Сбой \"радио\" \\ \x01\r\nвторая\xD800 \\u0041 \t\r\n";
  const std::string text =
      utf8FromUtf16(u"Сбой \"радио\" \\ \x01\r\nвторая\xD800 \\u0041") + " (0x80990001)";
  std::string world = "message 0x80990001 " + worldLiteral(message) + "\n" +
                      "device 00:00:5E:00:53:01\n  pair-error 0x80990001\n" +
                      "device 00:00:5E:00:53:02\n  connect refuse 0x80990001\n";
  BridgeProcess bridge({.world = world});
  ASSERT_TRUE(bridge.nextEvent());  // ready

  bridge.send(R"({"t":"pair","addr":"00:00:5E:00:53:01"})");
  auto pair = bridge.waitEvent("pair-result");
  ASSERT_TRUE(pair);
  auto pairFields = parseEvent(*pair);
  EXPECT_EQ(pairFields["ok"], "false");
  EXPECT_EQ(pairFields["error"], text);
  EXPECT_THAT(bridge.logBytes(), HasSubstr("[pair] исключение: " + text + "\r\n"));

  bridge.send(R"({"t":"connect","addr":"00:00:5E:00:53:02"})");
  auto error = bridge.nextEvent();
  ASSERT_TRUE(error);
  auto errorFields = parseEvent(*error);
  EXPECT_EQ(errorFields["t"], "error");
  EXPECT_EQ(errorFields["error"], text);
  EXPECT_EQ(bridge.nextEvent(), R"({"t":"closed","reason":"не удалось открыть соединение"})");
  EXPECT_THAT(bridge.logBytes(), HasSubstr("[connect] исключение: " + text + "\r\n"));
  bridge.closeInput();
  EXPECT_EQ(bridge.wait(), 0);
}

}  // namespace
