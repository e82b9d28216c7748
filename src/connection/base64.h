#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// RFC 4648 base64 with padding, on one line.
std::string base64Encode(std::span<const uint8_t> bytes);

// Lenient decoder: bytes outside the alphabet (pads, blanks, "-", "_", ...) are skipped and
// never reset the bit stream; leftover bits are dropped. Never fails.
std::vector<uint8_t> base64Decode(std::string_view text);
