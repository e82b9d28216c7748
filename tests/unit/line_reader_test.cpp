// Lines from a byte source that hands over whatever it has, cut anywhere: a line handed out
// in place and one gathered across refills must read the same.
#include "host/line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

// Hands `input` over in pieces of at most `piece` bytes (random sizes when `random` is set).
std::vector<std::string> readAll(const std::string& input, size_t piece, std::mt19937* random) {
  size_t at = 0;
  LineReader reader([&](std::span<char> buffer) {
    size_t most = std::min(buffer.size(), random ? 1 + (*random)() % piece : piece);
    size_t n = std::min(most, input.size() - at);
    std::copy_n(input.data() + at, n, buffer.data());
    at += n;
    return n;
  });
  std::vector<std::string> lines;
  std::string_view line;
  while (reader.next(line)) lines.emplace_back(line);
  return lines;
}

struct LinesCase {
  const char* name;
  std::string input;
  std::vector<std::string> lines;
};
void PrintTo(const LinesCase& c, std::ostream* os) {
  *os << c.name;
}

class Lines : public testing::TestWithParam<LinesCase> {};

TEST_P(Lines, ReadTheSameHoweverTheInputIsCut) {
  const auto& c = GetParam();
  for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{1} << 20})
    EXPECT_EQ(readAll(c.input, piece, nullptr), c.lines) << "pieces of " << piece;
  std::mt19937 random(5);
  for (int round = 0; round < 20; ++round)
    EXPECT_EQ(readAll(c.input, 9, &random), c.lines) << "round " << round;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Lines,
    testing::Values(LinesCase{"nothing", "", {}}, LinesCase{"one", "abc\n", {"abc"}},
                    LinesCase{"lastWithoutLf", "abc\ndef", {"abc", "def"}},
                    LinesCase{"emptyLinesKept", "\n\nx\n", {"", "", "x"}},
                    LinesCase{"crLfEndsALine", "a\r\nb\r\n\r\n", {"a", "b", ""}},
                    LinesCase{"onlyTheLastCrGoes", "a\r\r\nb\rc\n", {"a\r", "b\rc"}},
                    LinesCase{"loneCrAtTheEnd", "a\r", {"a"}},
                    LinesCase{"zeroBytesStay",
                              std::string("a\0b\n\0\n", 6),
                              {std::string("a\0b", 3), {"\0", 1}}}));

// Lines longer than the reader's own buffer, beside short ones.
TEST(Lines, LongerThanTheBufferComeWhole) {
  std::string longLine(200000, 'x');
  std::string input = "s\n" + longLine + "\ny\n" + longLine;
  std::vector<std::string> expected = {"s", longLine, "y", longLine};
  EXPECT_EQ(readAll(input, size_t{1} << 20, nullptr), expected);
  EXPECT_EQ(readAll(input, 4093, nullptr), expected);
}

}  // namespace
