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

// Writes a string body the way a host's JSON writer would, escaping some ordinary bytes too
// when `extra` asks for it (the scanner takes a backslash before any other byte as the byte).
std::string quote(const std::string& text, FuzzedDataProvider& extra) {
  std::string out = "\"";
  for (char c : text) {
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
      default:
        if (c != 'n' && c != 'r' && c != 't' && extra.ConsumeBool()) out += '\\';
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
