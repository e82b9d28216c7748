// toUtf8 and jsonEscape on any input. toUtf8 of any UTF-16 sequence is well-formed UTF-8
// (a lone surrogate becomes U+FFFD); jsonEscape of any bytes is legal between the quotes of
// a JSON string and decodes back to those bytes, so valid UTF-8 in gives a valid JSON string.
#include <cstdint>
#include <string>

#include "host/error_text.h"
#include "host/events.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool validUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t cp, min;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b >> 5) == 6) {
      len = 2, cp = b & 0x1F, min = 0x80;
    } else if ((b >> 4) == 14) {
      len = 3, cp = b & 0x0F, min = 0x800;
    } else if ((b >> 3) == 30) {
      len = 4, cp = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      auto c = static_cast<unsigned char>(s[i + k]);
      if ((c >> 6) != 2) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// Decodes JSON string content (what stands between the quotes) as a strict JSON parser
// would: no raw control byte or quote, only the escapes JSON defines. Bytes from 0x80 up are
// taken as they stand; a \u escape is kept to ASCII, which is all jsonEscape writes.
bool decodeJsonContent(std::string_view s, std::string& out) {
  static constexpr std::string_view hex = "0123456789abcdefABCDEF";
  for (size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == '"') return false;
    if (c != '\\') {
      out += static_cast<char>(c);
      continue;
    }
    if (++i == s.size()) return false;
    switch (s[i]) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '/':
        out += '/';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        if (i + 4 >= s.size()) return false;
        uint32_t v = 0;
        for (size_t k = 1; k <= 4; ++k) {
          size_t d = hex.find(s[i + k]);
          if (d == std::string_view::npos) return false;
          v = v << 4 | static_cast<uint32_t>(d < 16 ? d : d - 6);
        }
        if (v >= 0x80) return false;
        out += static_cast<char>(v);
        i += 4;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// The UTF-16 that well-formed UTF-8 stands for.
std::u16string toUtf16(std::string_view s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : 4;
    uint32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += len;
  }
  return out;
}

// The input with every unpaired surrogate replaced by U+FFFD.
std::u16string withReplacements(const std::u16string& units) {
  std::u16string out = units;
  for (size_t i = 0; i < out.size(); ++i) {
    bool high = out[i] >= 0xD800 && out[i] <= 0xDBFF;
    bool low = out[i] >= 0xDC00 && out[i] <= 0xDFFF;
    if (high && i + 1 < out.size() && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF) {
      ++i;
    } else if (high || low) {
      out[i] = 0xFFFD;
    }
  }
  return out;
}

void checkEscape(std::string_view text) {
  std::string escaped = jsonEscape(text);
  std::string back;
  check(decodeJsonContent(escaped, back));
  check(back == text);
  if (validUtf8(text)) check(validUtf8(escaped));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  checkEscape(bytes);

  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2)
    units += static_cast<char16_t>(data[i] | (static_cast<uint32_t>(data[i + 1]) << 8));
  std::string utf8 = toUtf8(units);
  check(validUtf8(utf8));
  check(toUtf16(utf8) == withReplacements(units));
  // Every unit yields at most three bytes (a pair yields four for two units).
  check(utf8.size() <= 3 * units.size());
  if (units.empty()) check(utf8.empty());
  checkEscape(utf8);
  return 0;
}
