// The BlueZ backend's pure translations: addresses, texts, D-Bus error names, PINs, UUIDs.
#include <gtest/gtest.h>

#include <set>

#include "platform/bluez/adapter.h"
#include "platform/bluez/translate.h"
#include "platform/platform.h"

namespace {

using bluez::addressText;
using bluez::errorMeaning;
using bluez::parseAddress;

TEST(BluezAddress, TextAndValueRoundTrip) {
  for (uint64_t value : {0x000000000000ull, 0x00AA01010001ull, 0xA45046123456ull, 0xFFFFFFFFFFFFull,
                         0x0102030405F0ull}) {
    std::string text = addressText(value);
    ASSERT_EQ(text.size(), 17u) << text;
    EXPECT_EQ(parseAddress(text), value) << text;
  }
  // Only the low 48 bits make an address.
  EXPECT_EQ(addressText(0xFFFF00AA01010001ull), "00:AA:01:01:00:01");
  EXPECT_EQ(addressText(0xA45046123456ull), "A4:50:46:12:34:56");
}

TEST(BluezAddress, ParsesOnlySixColonSeparatedHexPairs) {
  struct Case {
    std::string text;
    std::optional<uint64_t> value;
  };
  const Case cases[] = {
      {"00:AA:01:01:00:01", 0x00AA01010001},
      {"a4:50:46:12:34:5f", 0xA4504612345F},
      {"A4-50-46-12-34-56", std::nullopt},
      {"A4:50:46:12:34", std::nullopt},
      {"A4:50:46:12:34:56:", std::nullopt},
      {"A4:50:46:12:34:5G", std::nullopt},
      {"A4:50:46:12::456", std::nullopt},
      {" A4:50:46:12:34:5", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseAddress(c.text), c.value) << c.text;
}

TEST(BluezAddress, DashedFormIsBluezMadeUpAlias) {
  EXPECT_EQ(bluez::dashedAddress("00:AA:01:01:00:01"), "00-AA-01-01-00-01");
}

TEST(BluezAddress, DevicePathsNameTheControllerAndTheAddress) {
  EXPECT_EQ(bluez::devicePath("/org/bluez/hci0", 0x00AA01010001),
            "/org/bluez/hci0/dev_00_AA_01_01_00_01");
  struct Case {
    std::string path;
    std::optional<int> controller;
    uint64_t address = 0;
  };
  const Case cases[] = {
      {"/org/bluez/hci0/dev_00_AA_01_01_00_01", 0, 0x00AA01010001},
      {"/org/bluez/hci12/dev_a4_50_46_12_34_56", 12, 0xA45046123456},
      {"/org/bluez/hci0", std::nullopt},
      {"/org/bluez/hci0/dev_00_AA_01_01_00", std::nullopt},
      {"/org/bluez/hci/dev_00_AA_01_01_00_01", std::nullopt},
      {"/org/bluez/hciX/dev_00_AA_01_01_00_01", std::nullopt},
      {"/org/bluez/hci0/dev_00_AA_01_01_00_01/sep1", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    auto parts = bluez::parseDevicePath(c.path);
    ASSERT_EQ(parts.has_value(), c.controller.has_value()) << c.path;
    if (!parts) continue;
    EXPECT_EQ(parts->controller, *c.controller) << c.path;
    EXPECT_EQ(parts->address, c.address) << c.path;
  }
}

TEST(BluezText, Utf8BecomesUtf16AndBackUnchanged) {
  for (std::string text : {"Robot Phone 1", "Телефон робота", "€ and 𝄞 (four bytes)", ""}) {
    EXPECT_EQ(platform::toUtf8(bluez::toUtf16(text)), text) << text;
  }
  EXPECT_EQ(bluez::toUtf16("𝄞"), std::u16string(u"\xD834\xDD1E"));
}

TEST(BluezText, InvalidUtf8BecomesReplacementCharacters) {
  struct Case {
    std::string bytes;
    std::u16string text;
  };
  const Case cases[] = {
      {"a\xFF"
       "b",
       u"a\uFFFDb"},
      {"\xC0\xAF", u"\uFFFD"},      // overlong '/'
      {"\xED\xA0\x80", u"\uFFFD"},  // a surrogate's code
      {"x\xE2\x82", u"x\uFFFD"},    // cut short at the end
      {"\xE2\x82"
       "A",
       u"\uFFFDA"},                     // cut short before a plain byte
      {"\xF4\x90\x80\x80", u"\uFFFD"},  // past U+10FFFF
      {"\x80\x80", u"\uFFFD\uFFFD"},    // stray continuation bytes
  };
  for (const auto& c : cases) EXPECT_EQ(bluez::toUtf16(c.bytes), c.text);
}

TEST(BluezErrors, PairingFailuresMapToTheirStatuses) {
  struct Case {
    std::string name;
    int32_t status;
  };
  const Case cases[] = {
      {"org.bluez.Error.AlreadyExists", 3},
      {"org.bluez.Error.AuthenticationFailed", 9},
      {"org.bluez.Error.AuthenticationRejected", 4},
      {"org.bluez.Error.AuthenticationCanceled", 14},
      {"org.bluez.Error.AuthenticationTimeout", 7},
      {"org.bluez.Error.InProgress", 15},
      {"org.bluez.Error.NotReady", 1},
      {"org.bluez.Error.ConnectionAttemptFailed", 19},
      {"org.bluez.Error.Failed", 19},
      {"org.freedesktop.DBus.Error.NoReply", 7},
      {"org.example.Never.Heard", 19},
  };
  for (const auto& c : cases) EXPECT_EQ(errorMeaning(c.name).pairingStatus, c.status) << c.name;
}

TEST(BluezErrors, EveryKnownNameHasItsOwnStableCode) {
  const char* names[] = {"org.bluez.Error.Failed",
                         "org.bluez.Error.InvalidArguments",
                         "org.bluez.Error.NotReady",
                         "org.bluez.Error.NotSupported",
                         "org.bluez.Error.NotAvailable",
                         "org.bluez.Error.NotAuthorized",
                         "org.bluez.Error.NotPermitted",
                         "org.bluez.Error.InProgress",
                         "org.bluez.Error.AlreadyExists",
                         "org.bluez.Error.DoesNotExist",
                         "org.bluez.Error.AlreadyConnected",
                         "org.bluez.Error.NotConnected",
                         "org.bluez.Error.ConnectionAttemptFailed",
                         "org.bluez.Error.AuthenticationFailed",
                         "org.bluez.Error.AuthenticationRejected",
                         "org.bluez.Error.AuthenticationCanceled",
                         "org.bluez.Error.AuthenticationTimeout",
                         "org.bluez.Error.Rejected",
                         "org.bluez.Error.Canceled",
                         "org.bluez.Error.NotFound",
                         "org.bluez.Error.ProfileUnavailable",
                         "org.freedesktop.DBus.Error.NoReply",
                         "org.freedesktop.DBus.Error.Timeout",
                         "org.freedesktop.DBus.Error.ServiceUnknown",
                         "org.freedesktop.DBus.Error.NameHasNoOwner",
                         "org.freedesktop.DBus.Error.UnknownObject",
                         "org.freedesktop.DBus.Error.UnknownMethod",
                         "org.freedesktop.DBus.Error.AccessDenied",
                         "org.freedesktop.DBus.Error.NoServer",
                         "org.freedesktop.DBus.Error.Disconnected",
                         "org.freedesktop.DBus.Error.InvalidArgs",
                         "org.sdbuscpp.Error"};
  std::set<int32_t> codes;
  for (const char* name : names) {
    auto code = static_cast<uint32_t>(errorMeaning(name).code);
    EXPECT_EQ(code & 0xFFFFFF00u, 0x80BE0000u) << name;  // a table row, not the fallback
    EXPECT_TRUE(codes.insert(errorMeaning(name).code).second) << name << " shares a code";
  }
  // Error texts quote these; they never change.
  EXPECT_EQ(static_cast<uint32_t>(errorMeaning("org.bluez.Error.Failed").code), 0x80BE0001u);
  EXPECT_EQ(static_cast<uint32_t>(errorMeaning("org.bluez.Error.AuthenticationFailed").code),
            0x80BE000Eu);
  EXPECT_EQ(errorMeaning("org.bluez.Error.NotReady").win32, 21u);
}

TEST(BluezErrors, UnknownNamesGetCodesOfTheirOwnOutsideTheTable) {
  auto a = static_cast<uint32_t>(errorMeaning("org.example.Error.One").code);
  auto b = static_cast<uint32_t>(errorMeaning("org.example.Error.Two").code);
  EXPECT_EQ(a & 0xFFFF8000u, 0x80BE8000u);
  EXPECT_EQ(b & 0xFFFF8000u, 0x80BE8000u);
  EXPECT_NE(a, b);
  EXPECT_EQ(static_cast<uint32_t>(errorMeaning("org.example.Error.One").code), a);
  EXPECT_EQ(static_cast<uint32_t>(errorMeaning("").code) & 0xFFFF8000u, 0x80BE8000u);
}

TEST(BluezErrors, ErrnoCodesKeepTheNumberAndStayOutOfTheNameRanges) {
  EXPECT_EQ(static_cast<uint32_t>(bluez::errnoCode(104)), 0x80BE1068u);  // ECONNRESET
  EXPECT_EQ(static_cast<uint32_t>(bluez::errnoCode(125)), 0x80BE107Du);  // ECANCELED
}

TEST(BluezPairing, PasskeyIsSixDigitsZeroPadded) {
  EXPECT_EQ(bluez::passkeyText(0), "000000");
  EXPECT_EQ(bluez::passkeyText(42), "000042");
  EXPECT_EQ(bluez::passkeyText(482916), "482916");
  EXPECT_EQ(bluez::passkeyText(999999), "999999");
}

TEST(BluezServices, SerialPortIsFoundInAnyLetterCaseAndOnlyWhole) {
  using V = std::vector<std::string>;
  EXPECT_TRUE(bluez::offersSerialPort(V{"00001101-0000-1000-8000-00805f9b34fb"}));
  EXPECT_TRUE(bluez::offersSerialPort(
      V{"0000110a-0000-1000-8000-00805f9b34fb", "00001101-0000-1000-8000-00805F9B34FB"}));
  EXPECT_FALSE(bluez::offersSerialPort(V{}));
  EXPECT_FALSE(bluez::offersSerialPort(V{"00001101"}));
  EXPECT_FALSE(bluez::offersSerialPort(V{"00001101-0000-1000-8000-00805f9b34fb0"}));
  EXPECT_FALSE(bluez::offersSerialPort(V{"00001105-0000-1000-8000-00805f9b34fb"}));
}

// Which adapter the backend takes: the one named, the one in use before, the same dongle back
// under another path, else the first.
TEST(BluezAdapter, ChoiceKeepsToTheAdapterInUseAndKnowsItAgainByAddress) {
  const bluez::AdapterEntry hci0{"/org/bluez/hci0", "00:AA:01:00:00:00"},
      hci1{"/org/bluez/hci1", "00:AA:01:01:00:01"}, back{"/org/bluez/hci7", "00:aa:01:00:00:00"};
  using List = std::vector<bluez::AdapterEntry>;
  struct Case {
    const char* what;
    List adapters;
    std::string wanted;
    bluez::AdapterEntry before;
    std::optional<size_t> picked;
  };
  const Case cases[] = {
      {"none at all", {}, "", {}, std::nullopt},
      {"the first at start", {hci0, hci1}, "", {}, 0},
      {"keeps to the one in use", {hci0, hci1}, "", hci1, 1},
      {"the one in use went: the first", {hci1}, "", hci0, 0},
      {"back under another path", {hci1, back}, "", hci0, 1},
      {"named by address, any case", {hci0, hci1}, "00:aa:01:01:00:01", {}, 1},
      {"named by name", {hci0, hci1}, "hci1", hci0, 1},
      {"the named one is gone", {hci1}, "00:AA:01:00:00:00", hci0, std::nullopt},
      {"the named one is back elsewhere", {hci1, back}, "00:AA:01:00:00:00", hci0, 1},
      {"a name is not a prefix", {hci0, hci1}, "hci", {}, std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(bluez::pickAdapter(c.adapters, c.wanted, c.before), c.picked) << c.what;
}

}  // namespace
