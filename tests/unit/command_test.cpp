#include "host/command.h"

#include <gtest/gtest.h>

namespace {

struct ParseCase {
  std::string line;
  CommandFields fields;
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ParseCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.line);
}

class ParseCommand : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseCommand, GivesTheFieldsAHostWouldExpect) {
  EXPECT_EQ(parseCommand(GetParam().line), GetParam().fields) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseCommand,
    testing::Values(
        ParseCase{R"({"t":"scan","seconds":10})", {{"t", "scan"}, {"seconds", "10"}}},
        ParseCase{R"({"t":"scan","seconds":10 })", {{"t", "scan"}, {"seconds", "10 "}}},
        ParseCase{R"({ "t" : "pair" , "addr" : "AA:BB:CC:DD:EE:FF" })",
                  {{"t", "pair"}, {"addr", "AA:BB:CC:DD:EE:FF"}}},
        ParseCase{R"({"t":scan})", {{"t", "scan"}}},
        ParseCase{R"({"t":"x","t":"scan"})", {{"t", "scan"}}},
        ParseCase{R"({"v":"b\"c"})", {{"v", "b\"c"}}},
        ParseCase{R"({"v":"x\ny"})", {{"v", "x\ny"}}},
        ParseCase{R"({"v":"\u0041"})", {{"v", "u0041"}}},
        ParseCase{R"({"v":"\r\t\/\b\\"})", {{"v", "\r\t/b\\"}}},
        ParseCase{R"({"v":"a\"b\"\\","w":"\\\"","t":"x"})",
                  {{"v", "a\"b\"\\"}, {"w", "\\\""}, {"t", "x"}}},
        ParseCase{"{\"t\":\t\"scan\"}", {{"t", "\t\"scan\""}}},
        ParseCase{R"({"a":true,"b":null,"c":-1.5e3})",
                  {{"a", "true"}, {"b", "null"}, {"c", "-1.5e3"}}},
        ParseCase{R"({"a":{"b":"c"},"t":"scan"})", {{"a", R"({"b":"c")"}, {"t", "scan"}}},
        ParseCase{R"({"a":["x","y"],"t":"send"})", {{"a", R"(["x")"}, {"y", "]"}, {"t", "send"}}},
        ParseCase{"hello", {}}, ParseCase{"", {}}, ParseCase{"{}", {}},
        ParseCase{"abc\"", {{"", ""}}}, ParseCase{R"({"t":"scan")", {{"t", "scan"}}},
        ParseCase{R"({"t":"sca)", {{"t", "sca"}}}, ParseCase{R"({"":"v"})", {{"", "v"}}},
        ParseCase{"{\"t\":\"a\\", {{"t", "a\\"}}}, ParseCase{"{\"k\":", {{"k", ""}}},
        ParseCase{"{\"n\":\"\xD0\xAF\x01\"}", {{"n", "\xD0\xAF\x01"}}}));

struct SecondsCase {
  std::string text;
  std::optional<int32_t> value;
};
void PrintTo(const SecondsCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.text);
}

class Seconds : public testing::TestWithParam<SecondsCase> {};

TEST_P(Seconds, ConvertLikeStringToInt) {
  EXPECT_EQ(parseSeconds(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Seconds,
    testing::Values(SecondsCase{"10", 10}, SecondsCase{" 10", 10}, SecondsCase{"10 ", 10},
                    SecondsCase{"10abc", 10}, SecondsCase{"10.9", 10}, SecondsCase{"1e3", 1},
                    SecondsCase{"-5", -5}, SecondsCase{"0", 0}, SecondsCase{"+7", 7},
                    SecondsCase{"\t\n\v\f\r3", 3}, SecondsCase{"", std::nullopt},
                    SecondsCase{"abc", std::nullopt}, SecondsCase{"x1", std::nullopt},
                    SecondsCase{"-", std::nullopt}, SecondsCase{"+ 1", std::nullopt},
                    SecondsCase{"2147483647", 2147483647}, SecondsCase{"2147483648", std::nullopt},
                    SecondsCase{"-2147483648", INT32_MIN}, SecondsCase{"-2147483649", std::nullopt},
                    SecondsCase{"99999999999999999999999", std::nullopt}, SecondsCase{"0007", 7}));

}  // namespace
