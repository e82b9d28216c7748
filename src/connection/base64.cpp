#include "connection/base64.h"

#include <array>
#include <bit>
#include <cstring>

// Where the compiler can build code for a later x86 than it targets, decoding takes 32
// characters a step with AVX2 on a processor that has it.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#define BASE64_WITH_AVX2 1
#endif

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> decodeTable = [] {
  std::array<int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
  return table;
}();

// One table per position in a group of four: the character's 6 bits already shifted into
// place, so a group is four lookups and three ORs. A byte outside the alphabet sets bit 24 and
// up, which no OR of valid characters reaches.
constexpr uint32_t notInAlphabet = 0xFF000000u;
using ShiftedTable = std::array<uint32_t, 256>;
constexpr std::array<ShiftedTable, 4> shiftedTables = [] {
  std::array<ShiftedTable, 4> tables{};
  for (int position = 0; position < 4; ++position) {
    for (int c = 0; c < 256; ++c) {
      int v = decodeTable[c];
      tables[position][c] =
          v < 0 ? notInAlphabet : static_cast<uint32_t>(v) << (6 * (3 - position));
    }
  }
  return tables;
}();

// The two characters for every 12-bit value: half the lookups of one character per 6 bits.
constexpr std::array<std::array<char, 2>, 4096> pairTable = [] {
  std::array<std::array<char, 2>, 4096> table{};
  for (int i = 0; i < 4096; ++i) table[i] = {alphabet[i >> 6], alphabet[i & 63]};
  return table;
}();

// Between native order and the highest byte first. The masks are the pattern compilers turn
// into one byte swap.
uint64_t bigEndian(uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    v = (v & 0x00000000FFFFFFFFull) << 32 | (v & 0xFFFFFFFF00000000ull) >> 32;
    v = (v & 0x0000FFFF0000FFFFull) << 16 | (v & 0xFFFF0000FFFF0000ull) >> 16;
    v = (v & 0x00FF00FF00FF00FFull) << 8 | (v & 0xFF00FF00FF00FF00ull) >> 8;
  }
  return v;
}

void storeBigEndian(uint8_t* out, uint64_t v) {
  v = bigEndian(v);
  std::memcpy(out, &v, 8);
}

uint64_t loadBigEndian(const uint8_t* in) {
  uint64_t v;
  std::memcpy(&v, in, 8);
  return bigEndian(v);
}

#ifdef BASE64_WITH_AVX2
bool haveAvx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}

// Decodes blocks of 32 alphabet characters into 24 bytes each, with no bits pending, up to the
// first block that holds anything else (which the plain loop then takes). Each character is
// checked by its two halves against two tables, mapped to its value by adding an offset picked
// by its high half ("/" has one of its own), and four values are packed into three bytes.
__attribute__((target("avx2"))) const unsigned char* decodeBlocksAvx2(const unsigned char* p,
                                                                      const unsigned char* end,
                                                                      uint8_t*& o) {
  const __m256i lowHalfClass =
      _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B,
                       0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                       0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i highHalfClass =
      _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m256i offsetByHighHalf =
      _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4, -65,
                       -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i slash = _mm256_set1_epi8(0x2F);
  const __m256i pairs = _mm256_set1_epi32(0x01400140);
  const __m256i quads = _mm256_set1_epi32(0x00011000);
  const __m256i bytesInOrder =
      _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10,
                       9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i packLanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, -1, -1);
  while (end - p >= 32) {
    __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i high = _mm256_and_si256(_mm256_srli_epi32(text, 4), slash);
    __m256i low = _mm256_and_si256(text, slash);
    __m256i lowClass = _mm256_shuffle_epi8(lowHalfClass, low);
    __m256i highClass = _mm256_shuffle_epi8(highHalfClass, high);
    if (!_mm256_testz_si256(lowClass, highClass)) break;
    __m256i isSlash = _mm256_cmpeq_epi8(text, slash);
    __m256i offset = _mm256_shuffle_epi8(offsetByHighHalf, _mm256_add_epi8(isSlash, high));
    __m256i values = _mm256_add_epi8(text, offset);
    __m256i twelve = _mm256_maddubs_epi16(values, pairs);
    __m256i twentyFour = _mm256_madd_epi16(twelve, quads);
    __m256i bytes = _mm256_shuffle_epi8(twentyFour, bytesInOrder);
    bytes = _mm256_permutevar8x32_epi32(bytes, packLanes);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(bytes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 16), _mm256_extracti128_si256(bytes, 1));
    o += 24;
    p += 32;
  }
  return p;
}
#endif

}  // namespace

std::string base64Encode(std::span<const uint8_t> bytes) {
  std::string out(base64Length(bytes.size()), '\0');
  base64EncodeInto(bytes, out.data());
  return out;
}

void base64EncodeInto(std::span<const uint8_t> bytes, char* o) {
  size_t n = bytes.size();
  const uint8_t* in = bytes.data();
  size_t i = 0;
  // Six bytes a step, read as one word: four 12-bit halves of the eight characters.
  for (; i + 8 <= n; i += 6) {
    uint64_t v = loadBigEndian(in + i);
    std::memcpy(o, pairTable[v >> 52].data(), 2);
    std::memcpy(o + 2, pairTable[(v >> 40) & 0xFFF].data(), 2);
    std::memcpy(o + 4, pairTable[(v >> 28) & 0xFFF].data(), 2);
    std::memcpy(o + 6, pairTable[(v >> 16) & 0xFFF].data(), 2);
    o += 8;
  }
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
}

std::vector<uint8_t> base64Decode(std::string_view text) {
  // Each alphabet character carries 6 bits, so the output never exceeds 3/4 of the text; the
  // spare bytes at the end let a step write whole words where it keeps fewer bytes.
  std::vector<uint8_t> out(text.size() / 4 * 3 + 8);
  uint8_t* o = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  const ShiftedTable &d0 = shiftedTables[0], &d1 = shiftedTables[1], &d2 = shiftedTables[2],
                     &d3 = shiftedTables[3];
  auto group = [&](const unsigned char* g) { return d0[g[0]] | d1[g[1]] | d2[g[2]] | d3[g[3]]; };
  uint32_t accumulator = 0;
  int bits = 0;
  while (p < end) {
    // With no bits pending, eight alphabet characters in a row are six whole bytes.
    // Well-formed text goes this way almost throughout.
    if (bits == 0) {
#ifdef BASE64_WITH_AVX2
      if (haveAvx2()) p = decodeBlocksAvx2(p, end, o);
#endif
      while (end - p >= 8) {
        uint32_t g0 = group(p), g1 = group(p + 4);
        if ((g0 | g1) >= notInAlphabet) break;
        storeBigEndian(o, uint64_t{g0} << 40 | uint64_t{g1} << 16);
        o += 6;
        p += 8;
      }
      if (p == end) break;
    }
    // Four alphabet characters in a row add 24 bits: three whole bytes leave, and the bits
    // pending before them stay pending.
    if (end - p >= 4) {
      uint32_t g = group(p);
      if (g < notInAlphabet) {
        accumulator = (accumulator << 24) | g;
        storeBigEndian(o, uint64_t{accumulator >> bits} << 40);
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
