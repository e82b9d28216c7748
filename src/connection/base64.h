#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// RFC 4648 base64 with padding, on one line.
std::string base64Encode(std::span<const uint8_t> bytes);

// The length of base64Encode's text for `count` bytes.
constexpr size_t base64Length(size_t count) {
  return (count + 2) / 3 * 4;
}

// base64Encode into `out`, which has room for base64Length(bytes.size()) characters; for a
// caller that reuses one buffer.
void base64EncodeInto(std::span<const uint8_t> bytes, char* out);

// Lenient decoder: bytes outside the alphabet (pads, blanks, "-", "_", ...) are skipped and
// never reset the bit stream; leftover bits are dropped. Never fails.
std::vector<uint8_t> base64Decode(std::string_view text);
