#include "connection/base64.h"

#include <array>
#include <cstring>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> decodeTable = [] {
  std::array<int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
  return table;
}();

// The two characters for every 12-bit value: half the lookups of one character per 6 bits.
constexpr std::array<std::array<char, 2>, 4096> pairTable = [] {
  std::array<std::array<char, 2>, 4096> table{};
  for (int i = 0; i < 4096; ++i) table[i] = {alphabet[i >> 6], alphabet[i & 63]};
  return table;
}();

}  // namespace

std::string base64Encode(std::span<const uint8_t> bytes) {
  size_t n = bytes.size();
  std::string out(4 * ((n + 2) / 3), '\0');
  char* o = out.data();
  const uint8_t* in = bytes.data();
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    std::memcpy(o, pairTable[v >> 12].data(), 2);
    std::memcpy(o + 2, pairTable[v & 0xFFF].data(), 2);
    o += 4;
  }
  if (n - i == 1) {
    uint32_t v = uint32_t{in[i]} << 16;
    o[0] = alphabet[v >> 18];
    o[1] = alphabet[(v >> 12) & 63];
    o[2] = '=';
    o[3] = '=';
  } else if (n - i == 2) {
    uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8);
    o[0] = alphabet[v >> 18];
    o[1] = alphabet[(v >> 12) & 63];
    o[2] = alphabet[(v >> 6) & 63];
    o[3] = '=';
  }
  return out;
}

std::vector<uint8_t> base64Decode(std::string_view text) {
  // Each alphabet character carries 6 bits, so the output never exceeds 3/4 of the text.
  std::vector<uint8_t> out(text.size() / 4 * 3 + 3);
  uint8_t* o = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  uint32_t accumulator = 0;
  int bits = 0;
  while (p < end) {
    // Four alphabet characters in a row add 24 bits: three whole bytes leave, and the bits
    // pending before them stay pending. Well-formed text goes this way almost throughout.
    if (end - p >= 4) {
      int32_t a = decodeTable[p[0]], b = decodeTable[p[1]], c = decodeTable[p[2]],
              d = decodeTable[p[3]];
      if ((a | b | c | d) >= 0) {
        accumulator = (accumulator << 24) | static_cast<uint32_t>(a << 18 | b << 12 | c << 6 | d);
        o[0] = static_cast<uint8_t>(accumulator >> (bits + 16));
        o[1] = static_cast<uint8_t>(accumulator >> (bits + 8));
        o[2] = static_cast<uint8_t>(accumulator >> bits);
        o += 3;
        p += 4;
        continue;
      }
    }
    int v = decodeTable[*p++];
    if (v < 0) continue;
    accumulator = (accumulator << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      *o++ = static_cast<uint8_t>(accumulator >> bits);
    }
  }
  out.resize(static_cast<size_t>(o - out.data()));
  return out;
}
