#pragma once
// The bytes every phase moves: a fixed random pattern, so that each byte that arrives can be
// checked against the offset it should have come from.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace bench {

// The bytes at stream offset o are pattern[o % period]; stored twice so that any slice of up
// to one period is contiguous. The period holds whole 3 KB and 64 B chunks.
class Pattern {
 public:
  static constexpr size_t period = 3072 * 64;
  Pattern() : bytes_(2 * period) {
    std::mt19937 rng(20240611);
    for (size_t i = 0; i < period; ++i)
      bytes_[i] = bytes_[i + period] = static_cast<uint8_t>(rng());
  }
  const uint8_t* at(uint64_t offset) const { return bytes_.data() + offset % period; }
  bool matches(uint64_t offset, const uint8_t* data, size_t n) const {
    while (n > 0) {
      size_t k = std::min(n, period);
      if (std::memcmp(at(offset), data, k) != 0) return false;
      offset += k;
      data += k;
      n -= k;
    }
    return true;
  }

 private:
  std::vector<uint8_t> bytes_;
};

inline const Pattern& pattern() {
  static const Pattern p;
  return p;
}

}  // namespace bench
