// The base64 codec on any bytes: encoding gives the standard form and decodes back to the
// same bytes; decoding any text never fails, yields exactly six bits per alphabet character
// (whole bytes only) and agrees with a bit-by-bit reference decoder.
#include <cstdint>
#include <string>
#include <vector>

#include "connection/base64.h"

namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// One bit at a time: slow, obviously right.
std::vector<uint8_t> referenceDecode(std::string_view text) {
  std::vector<bool> bits;
  for (char c : text) {
    size_t v = alphabet.find(c);
    if (v == std::string_view::npos) continue;
    for (int b = 5; b >= 0; --b) bits.push_back((v >> b) & 1);
  }
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 8 <= bits.size(); i += 8) {
    uint8_t byte = 0;
    for (size_t b = 0; b < 8; ++b) byte = static_cast<uint8_t>(byte << 1 | bits[i + b]);
    out.push_back(byte);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);

  std::string text = base64Encode(bytes);
  check(text.size() == 4 * ((size + 2) / 3));
  size_t pads = size % 3 == 0 ? 0 : 3 - size % 3;
  for (size_t i = 0; i < text.size(); ++i)
    check(i >= text.size() - pads ? text[i] == '=' : alphabet.find(text[i]) != std::string::npos);
  check(base64Decode(text) == std::vector<uint8_t>(data, data + size));

  std::string_view asText(reinterpret_cast<const char*>(data), size);
  std::vector<uint8_t> decoded = base64Decode(asText);
  size_t alphabetChars = 0;
  for (char c : asText) alphabetChars += alphabet.find(c) != std::string_view::npos;
  check(decoded.size() == alphabetChars * 6 / 8);
  check(decoded == referenceDecode(asText));
  return 0;
}
