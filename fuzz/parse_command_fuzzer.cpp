// parseCommand and parseSeconds on any bytes: they never throw, never invent bytes, and
// agree with reference readings: a line written by a JSON writer reads back as the fields it
// was written from, and "seconds" reads as strtoll does.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fuzzer/FuzzedDataProvider.h>

#include "host/command.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

CommandFields parseOrTrap(std::string_view line) {
  try {
    return parseCommand(line);
  } catch (...) {
    __builtin_trap();
  }
}

// Base-10 string-to-int as the C library reads it, limited to 32 bits.
std::optional<int32_t> referenceSeconds(std::string_view text) {
  std::string copy(text);  // an embedded NUL ends the number, as any non-digit does
  const char* begin = copy.c_str();
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(begin, &end, 10);
  if (end == begin || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

void checkSeconds(std::string_view text) {
  check(parseSeconds(text) == referenceSeconds(text));
}

// The code point of the well-formed UTF-8 sequence at i and its length, or 0 and 0.
std::pair<uint32_t, size_t> utf8At(const std::string& text, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
  auto tail = [&](size_t k) { return i + k < text.size() && (b(k) & 0xC0) == 0x80; };
  if (b(0) >= 0xC2 && b(0) <= 0xDF && tail(1)) return {(b(0) & 0x1Fu) << 6 | (b(1) & 0x3Fu), 2};
  if (b(0) >= 0xE0 && b(0) <= 0xEF && tail(1) && tail(2)) {
    uint32_t cp = (b(0) & 0x0Fu) << 12 | (b(1) & 0x3Fu) << 6 | (b(2) & 0x3Fu);
    if (cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)) return {cp, 3};
  }
  if (b(0) >= 0xF0 && b(0) <= 0xF4 && tail(1) && tail(2) && tail(3)) {
    uint32_t cp =
        (b(0) & 0x07u) << 18 | (b(1) & 0x3Fu) << 12 | (b(2) & 0x3Fu) << 6 | (b(3) & 0x3Fu);
    if (cp >= 0x10000 && cp <= 0x10FFFF) return {cp, 4};
  }
  return {0, 0};
}

std::string unicodeEscape(uint32_t unit, FuzzedDataProvider& extra) {
  static constexpr char lower[] = "0123456789abcdef", upper[] = "0123456789ABCDEF";
  const char* hex = extra.ConsumeBool() ? upper : lower;
  std::string out = "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += hex[unit >> shift & 0xF];
  return out;
}

// Writes a string body the way some JSON writer would: the escapes JSON requires, and, where
// `extra` asks for it, any other character as \uXXXX (a surrogate pair above U+FFFF), \b and
// \f for their bytes, or a backslash before a byte that is no escape letter.
std::string quote(const std::string& text, FuzzedDataProvider& extra) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    char c = text[i];
    auto [cp, length] = utf8At(text, i);
    if (length && extra.ConsumeBool()) {
      if (cp < 0x10000) {
        out += unicodeEscape(cp, extra);
      } else {
        out += unicodeEscape(0xD800 + ((cp - 0x10000) >> 10), extra);
        out += unicodeEscape(0xDC00 + ((cp - 0x10000) & 0x3FF), extra);
      }
      i += length;
      continue;
    }
    ++i;
    if (static_cast<unsigned char>(c) < 0x80 && extra.ConsumeBool()) {
      out += unicodeEscape(static_cast<unsigned char>(c), extra);
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += extra.ConsumeBool() ? "\\b" : "\b";
        break;
      case '\f':
        out += extra.ConsumeBool() ? "\\f" : "\f";
        break;
      default:
        if (std::string_view("bfnrtu").find(c) == std::string_view::npos && extra.ConsumeBool())
          out += '\\';
        out += c;
    }
  }
  return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);

  // Any line: each byte of it yields at most one stored byte, and no quote means no field.
  CommandFields fields = parseOrTrap(line);
  size_t stored = 0;
  for (const auto& [key, value] : fields) {
    stored += key.size() + value.size();
    checkSeconds(value);
  }
  check(stored <= line.size());
  if (line.find('"') == std::string_view::npos) check(fields.empty());
  check(fields.size() <= static_cast<size_t>(std::count(line.begin(), line.end(), '"')));
  checkSeconds(line);

  // A well-formed object built from the input reads back exactly; the last key wins.
  FuzzedDataProvider provider(data, size);
  std::map<std::string, std::string> expected;
  std::string written = provider.ConsumeBool() ? "{" : "{ ";
  int count = provider.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < count; ++i) {
    std::string key = provider.ConsumeRandomLengthString(32);
    std::string value = provider.ConsumeRandomLengthString(64);
    if (i) written += provider.ConsumeBool() ? "," : " , ";
    written += quote(key, provider);
    written += provider.ConsumeBool() ? ":" : " : ";
    written += quote(value, provider);
    expected[key] = value;
  }
  written += "}";
  CommandFields read = parseOrTrap(written);
  check(read.size() == expected.size());
  for (const auto& [key, value] : expected) {
    auto it = read.find(key);
    check(it != read.end() && it->second == value);
  }
  return 0;
}
