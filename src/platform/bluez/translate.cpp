#include "platform/bluez/translate.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace bluez {

namespace {

// Win32 codes a failed device search leaves as its last error.
constexpr uint32_t errorAccessDenied = 5;
constexpr uint32_t errorNotReady = 21;
constexpr uint32_t errorGenFailure = 31;
constexpr uint32_t errorNotSupported = 50;
constexpr uint32_t errorInvalidParameter = 87;
constexpr uint32_t errorBusy = 170;
constexpr uint32_t errorAlreadyExists = 183;
constexpr uint32_t errorServiceNotActive = 1062;
constexpr uint32_t errorDeviceNotConnected = 1167;
constexpr uint32_t errorNotFound = 1168;
constexpr uint32_t errorCancelled = 1223;
constexpr uint32_t errorNotAuthenticated = 1244;
constexpr uint32_t errorTimeout = 1460;

// DevicePairingResultStatus.
constexpr int32_t notReadyToPair = 1;
constexpr int32_t alreadyPaired = 3;
constexpr int32_t connectionRejected = 4;
constexpr int32_t authenticationTimeout = 7;
constexpr int32_t authenticationFailure = 9;
constexpr int32_t noSupportedProfiles = 10;
constexpr int32_t accessDenied = 12;
constexpr int32_t pairingCanceled = 14;
constexpr int32_t operationAlreadyInProgress = 15;
constexpr int32_t statusFailed = 19;

// Codes 0x80BE00nn: one per name, never reused or renumbered, since hosts and log readers see
// them in error texts.
constexpr int32_t code(uint32_t n) {
  return static_cast<int32_t>(0x80BE0000u | n);
}

struct Row {
  std::string_view name;
  ErrorMeaning meaning;
};

constexpr std::array<Row, 32> table{{
    {"org.bluez.Error.Failed", {code(0x01), errorGenFailure, statusFailed}},
    {"org.bluez.Error.InvalidArguments", {code(0x02), errorInvalidParameter, statusFailed}},
    {"org.bluez.Error.NotReady", {code(0x03), errorNotReady, notReadyToPair}},
    {"org.bluez.Error.NotSupported", {code(0x04), errorNotSupported, statusFailed}},
    {"org.bluez.Error.NotAvailable", {code(0x05), errorNotFound, statusFailed}},
    {"org.bluez.Error.NotAuthorized", {code(0x06), errorAccessDenied, accessDenied}},
    {"org.bluez.Error.NotPermitted", {code(0x07), errorAccessDenied, accessDenied}},
    {"org.bluez.Error.InProgress", {code(0x08), errorBusy, operationAlreadyInProgress}},
    {"org.bluez.Error.AlreadyExists", {code(0x09), errorAlreadyExists, alreadyPaired}},
    {"org.bluez.Error.DoesNotExist", {code(0x0A), errorNotFound, statusFailed}},
    {"org.bluez.Error.AlreadyConnected", {code(0x0B), errorAlreadyExists, statusFailed}},
    {"org.bluez.Error.NotConnected", {code(0x0C), errorDeviceNotConnected, statusFailed}},
    {"org.bluez.Error.ConnectionAttemptFailed",
     {code(0x0D), errorDeviceNotConnected, statusFailed}},
    {"org.bluez.Error.AuthenticationFailed",
     {code(0x0E), errorNotAuthenticated, authenticationFailure}},
    {"org.bluez.Error.AuthenticationRejected",
     {code(0x0F), errorNotAuthenticated, connectionRejected}},
    {"org.bluez.Error.AuthenticationCanceled", {code(0x10), errorCancelled, pairingCanceled}},
    {"org.bluez.Error.AuthenticationTimeout", {code(0x11), errorTimeout, authenticationTimeout}},
    {"org.bluez.Error.Rejected", {code(0x12), errorNotAuthenticated, connectionRejected}},
    {"org.bluez.Error.Canceled", {code(0x13), errorCancelled, pairingCanceled}},
    {"org.bluez.Error.NotFound", {code(0x14), errorNotFound, statusFailed}},
    {"org.bluez.Error.ProfileUnavailable", {code(0x15), errorNotFound, noSupportedProfiles}},
    {"org.freedesktop.DBus.Error.NoReply", {code(0x20), errorTimeout, authenticationTimeout}},
    {"org.freedesktop.DBus.Error.Timeout", {code(0x21), errorTimeout, authenticationTimeout}},
    {"org.freedesktop.DBus.Error.ServiceUnknown",
     {code(0x22), errorServiceNotActive, statusFailed}},
    {"org.freedesktop.DBus.Error.NameHasNoOwner",
     {code(0x23), errorServiceNotActive, statusFailed}},
    {"org.freedesktop.DBus.Error.UnknownObject", {code(0x24), errorNotFound, statusFailed}},
    {"org.freedesktop.DBus.Error.UnknownMethod", {code(0x25), errorNotSupported, statusFailed}},
    {"org.freedesktop.DBus.Error.AccessDenied", {code(0x26), errorAccessDenied, accessDenied}},
    {"org.freedesktop.DBus.Error.NoServer", {code(0x27), errorServiceNotActive, statusFailed}},
    {"org.freedesktop.DBus.Error.Disconnected", {code(0x28), errorServiceNotActive, statusFailed}},
    {"org.freedesktop.DBus.Error.InvalidArgs", {code(0x29), errorInvalidParameter, statusFailed}},
    // sdbus-c++'s own failures, mostly a system bus that cannot be opened.
    {"org.sdbuscpp.Error", {code(0x2A), errorServiceNotActive, statusFailed}},
}};

}  // namespace

std::string addressText(uint64_t address) {
  auto byte = [address](int i) { return static_cast<unsigned>(address >> (8 * i) & 0xFF); };
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", byte(5), byte(4), byte(3),
                byte(2), byte(1), byte(0));
  return text;
}

std::optional<uint64_t> parseAddress(std::string_view text) {
  if (text.size() != 17) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (i % 3 == 2) {
      if (c != ':') return std::nullopt;
      continue;
    }
    uint64_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint64_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint64_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint64_t>(c - 'a' + 10);
    } else {
      return std::nullopt;
    }
    value = value << 4 | digit;
  }
  return value;
}

std::string dashedAddress(std::string_view address) {
  std::string text(address);
  std::replace(text.begin(), text.end(), ':', '-');
  return text;
}

std::string devicePath(std::string_view adapter, uint64_t address) {
  std::string path = std::string(adapter) + "/dev_" + addressText(address);
  std::replace(path.begin() + static_cast<ptrdiff_t>(adapter.size()), path.end(), ':', '_');
  return path;
}

std::optional<DevicePathParts> parseDevicePath(std::string_view path) {
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view adapter = path.substr(0, slash), device = path.substr(slash + 1);
  adapter = adapter.substr(adapter.rfind('/') + 1);
  if (adapter.substr(0, 3) != "hci" || device.substr(0, 4) != "dev_") return std::nullopt;
  int controller = 0;
  auto [end, error] =
      std::from_chars(adapter.data() + 3, adapter.data() + adapter.size(), controller);
  if (error != std::errc() || end != adapter.data() + adapter.size() || adapter.size() == 3)
    return std::nullopt;
  std::string text(device.substr(4));
  std::replace(text.begin(), text.end(), '_', ':');
  auto address = parseAddress(text);
  if (!address) return std::nullopt;
  return DevicePathParts{controller, *address};
}

std::u16string toUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t i = 0;
  auto continuation = [&](size_t at) {
    return at < utf8.size() && (static_cast<uint8_t>(utf8[at]) & 0xC0) == 0x80;
  };
  while (i < utf8.size()) {
    uint8_t lead = static_cast<uint8_t>(utf8[i]);
    uint32_t cp;
    size_t length;
    uint32_t least;
    if (lead < 0x80) {
      cp = lead, length = 1, least = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      cp = lead & 0x1F, length = 2, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      cp = lead & 0x0F, length = 3, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      cp = lead & 0x07, length = 4, least = 0x10000;
    } else {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    size_t have = 1;
    while (have < length && continuation(i + have)) {
      cp = cp << 6 | (static_cast<uint8_t>(utf8[i + have]) & 0x3F);
      ++have;
    }
    // Short, overlong, surrogate or out-of-range sequences stand for one replacement each.
    if (have < length || cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out += u'\uFFFD';
      i += have;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += length;
  }
  return out;
}

ErrorMeaning errorMeaning(std::string_view name) {
  for (const auto& row : table)
    if (row.name == name) return row.meaning;
  // A name no table row knows still gets a code of its own, the same in every run: FNV-1a
  // folded into 0x80BE8000..0x80BEFFFF.
  uint32_t hash = 2166136261u;
  for (char c : name) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
  return {static_cast<int32_t>(0x80BE8000u | (hash & 0x7FFF)), errorGenFailure, statusFailed};
}

int32_t errnoCode(int error) {
  return static_cast<int32_t>(0x80BE1000u | (static_cast<uint32_t>(error) & 0xFFF));
}

std::string passkeyText(uint32_t passkey) {
  char text[16];
  std::snprintf(text, sizeof text, "%06u", passkey % 1000000);
  return text;
}

bool offersSerialPort(const std::vector<std::string>& uuids) {
  return std::any_of(uuids.begin(), uuids.end(), [](const std::string& uuid) {
    return std::equal(uuid.begin(), uuid.end(), serialPortUuid.begin(), serialPortUuid.end(),
                      [](char a, char b) {
                        return std::tolower(static_cast<unsigned char>(a)) ==
                               std::tolower(static_cast<unsigned char>(b));
                      });
  });
}

}  // namespace bluez
