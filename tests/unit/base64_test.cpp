#include "connection/base64.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::vector<uint8_t> bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

TEST(Base64Encode, IsStandardPaddedBase64) {
  EXPECT_EQ(base64Encode({}), "");
  EXPECT_EQ(base64Encode(bytes("A")), "QQ==");
  EXPECT_EQ(base64Encode(bytes("AB")), "QUI=");
  EXPECT_EQ(base64Encode(bytes("ABC")), "QUJD");
  EXPECT_EQ(base64Encode(std::vector<uint8_t>{0xFB, 0xFF, 0xBF}), "+/+/");
  EXPECT_EQ(base64Encode(bytes("Man is distinguished")), "TWFuIGlzIGRpc3Rpbmd1aXNoZWQ=");
  EXPECT_EQ(base64Encode(std::vector<uint8_t>(4096, 7)).size(), 5464u);
}

struct DecodeCase {
  std::string text;
  std::vector<uint8_t> bytes;
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.text);
}

class Base64Decode : public testing::TestWithParam<DecodeCase> {};

TEST_P(Base64Decode, IsLenient) {
  EXPECT_EQ(base64Decode(GetParam().text), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Base64Decode,
    testing::Values(DecodeCase{"QUJD", {0x41, 0x42, 0x43}}, DecodeCase{"QUI=", {0x41, 0x42}},
                    DecodeCase{"QUI", {0x41, 0x42}}, DecodeCase{"QQ==", {0x41}},
                    DecodeCase{"QQ=", {0x41}}, DecodeCase{"QQ", {0x41}}, DecodeCase{"Q", {}},
                    DecodeCase{"", {}}, DecodeCase{"QUJD RA==", {0x41, 0x42, 0x43, 0x44}},
                    DecodeCase{"QQ==QQ==", {0x41, 0x04, 0x10}}, DecodeCase{"-_-_", {}},
                    DecodeCase{"Q\xC3\xA9Q\n=\t", {0x41}}, DecodeCase{"+/+/", {0xFB, 0xFF, 0xBF}}));

TEST(Base64, DecodingTheEncodingGivesTheBytesBack) {
  std::mt19937 random(7);
  for (size_t n = 0; n < 300; ++n) {
    std::vector<uint8_t> data(n);
    for (auto& b : data) b = static_cast<uint8_t>(random());
    ASSERT_EQ(base64Decode(base64Encode(data)), data) << n;
  }
}

// The decoder as written down: one character at a time, skipping what is not in the alphabet.
const std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::vector<uint8_t> decodeOneByOne(std::string_view text) {
  std::vector<uint8_t> out;
  uint32_t accumulator = 0;
  int bits = 0;
  for (char c : text) {
    size_t v = alphabet.find(c);
    if (v == std::string_view::npos) continue;
    accumulator = (accumulator << 6) + static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(accumulator >> bits));
    }
  }
  return out;
}

// Long runs of the alphabet with a stray byte now and then: the stray bytes shift the bit
// stream by 6 bits at a time, so every alignment of the block decoder meets every position.
TEST(Base64, DecodesTextWithStrayBytesAsOneCharacterAtATimeWould) {
  std::mt19937 random(11);
  const std::string strays("= \t\r\n-_.\x80\xFF\0", 11);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    size_t length = random() % 200;
    int strayEvery = 1 + static_cast<int>(random() % 40);
    for (size_t i = 0; i < length; ++i) {
      if (static_cast<int>(random() % strayEvery) == 0)
        text += strays[random() % strays.size()];
      else
        text += alphabet[random() % alphabet.size()];
    }
    ASSERT_EQ(base64Decode(text), decodeOneByOne(text)) << testing::PrintToString(text);
  }
}

// Text that fills its buffer to the last byte, as a command's value need not be followed by
// anything: the decoder reads nothing beyond it (AddressSanitizer builds check this).
TEST(Base64, ReadsNothingPastTheEndOfTheText) {
  std::string encoded = base64Encode(std::vector<uint8_t>(120, 0xA5));
  for (size_t length = 0; length <= encoded.size(); ++length) {
    std::vector<char> exact(encoded.begin(), encoded.begin() + static_cast<ptrdiff_t>(length));
    std::string_view text(exact.data(), exact.size());
    ASSERT_EQ(base64Decode(text), decodeOneByOne(text)) << length;
  }
}

// Every byte value, at the start, inside and at the end of a long run of the alphabet: the
// decoder takes long runs in blocks, and a block must give way to any byte outside it.
TEST(Base64, TellsEveryByteValueInOrOutOfTheAlphabetInsideLongRuns) {
  std::string run;
  for (int i = 0; i < 96; ++i) run += alphabet[(i * 37) % 64];
  for (int b = 0; b < 256; ++b) {
    for (size_t at : {size_t{0}, size_t{13}, size_t{31}, size_t{32}, size_t{63}, size_t{95}}) {
      std::string text = run;
      text[at] = static_cast<char>(b);
      ASSERT_EQ(base64Decode(text), decodeOneByOne(text)) << "byte " << b << " at " << at;
    }
  }
}

}  // namespace
