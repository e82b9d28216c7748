// toUtf8 and jsonEscape on any input. toUtf8 of any UTF-16 sequence is well-formed UTF-8, the
// same as a reference conversion gives (a lone surrogate becomes U+FFFD); jsonEscape of any
// bytes is legal between the quotes of a JSON string and decodes back to those bytes, so valid
// UTF-8 in gives a valid JSON string.
#include <cstdint>
#include <string>

#include "host/error_text.h"
#include "host/events.h"
#include "support/strict_json.h"

namespace {

using strict_json::validUtf8;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// jsonEscape escapes only ASCII and leaves bytes from 0x80 up as they stand: the high bytes
// of what it writes are the input's, in order, and no \u escape stands for one.
std::string highBytes(std::string_view s) {
  std::string out;
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) out += c;
  return out;
}

void checkEscape(std::string_view text) {
  std::string escaped = jsonEscape(text);
  auto back = strict_json::decodeString(escaped);
  check(back && *back == text);
  check(highBytes(escaped) == highBytes(text));
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
  check(utf8 == strict_json::utf8FromUtf16(units));
  // Every unit yields at most three bytes (a pair yields four for two units).
  check(utf8.size() <= 3 * units.size());
  if (units.empty()) check(utf8.empty());
  checkEscape(utf8);
  return 0;
}
