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
        ParseCase{R"({"v":"\r\t\/\b\\"})", {{"v", "\r\t/\b\\"}}},
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

// Every escape a JSON encoder may write gives the character it stands for; what JSON does not
// define keeps the old tolerant reading.
struct EscapeCase {
  std::string body;  // between the quotes, as the host wrote it
  std::string bytes;
};
void PrintTo(const EscapeCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.body);
}

class StringEscapes : public testing::TestWithParam<EscapeCase> {};

TEST_P(StringEscapes, DecodeAsJsonDefinesThem) {
  const auto& c = GetParam();
  EXPECT_EQ(parseCommand("{\"v\":\"" + c.body + "\"}"), (CommandFields{{"v", c.bytes}}));
  // Keys are string bodies too.
  EXPECT_EQ(parseCommand("{\"" + c.body + "\":1}"), (CommandFields{{c.bytes, "1"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, StringEscapes,
    testing::Values(
        EscapeCase{R"(\")", "\""}, EscapeCase{R"(\\)", "\\"}, EscapeCase{R"(\/)", "/"},
        EscapeCase{R"(\b)", "\b"}, EscapeCase{R"(\f)", "\f"}, EscapeCase{R"(\n)", "\n"},
        EscapeCase{R"(\r)", "\r"}, EscapeCase{R"(\t)", "\t"}, EscapeCase{R"(aGk\u003d)", "aGk="},
        EscapeCase{R"(\u002B\u002b)", "++"}, EscapeCase{R"(\u0000)", std::string(1, '\0')},
        EscapeCase{R"(\u007F)", "\x7F"}, EscapeCase{R"(\u0080)", "\xC2\x80"},
        EscapeCase{R"(\u044f)", "\xD1\x8F"}, EscapeCase{R"(\u20AC)", "\xE2\x82\xAC"},
        EscapeCase{R"(\uFFFF)", "\xEF\xBF\xBF"}, EscapeCase{R"(\uD83D\uDE00)", "\xF0\x9F\x98\x80"},
        EscapeCase{R"(\ud800\udc00)", "\xF0\x90\x80\x80"},
        EscapeCase{R"(\uDBFF\uDFFF)", "\xF4\x8F\xBF\xBF"},
        // Surrogates without their other half.
        EscapeCase{R"(\uD83Dx)", "\xEF\xBF\xBDx"}, EscapeCase{R"(\uDE00)", "\xEF\xBF\xBD"},
        EscapeCase{R"(\uDE00\uD83D)", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        EscapeCase{R"(\uD83D\uD83D\uDE00)", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
        EscapeCase{R"(\uD83D\u0041)",
                   "\xEF\xBF\xBD"
                   "A"},
        EscapeCase{R"(\uD83D\uDE0)", "\xEF\xBF\xBDuDE0"},
        EscapeCase{R"(\uD83D\n)", "\xEF\xBF\xBD\n"},
        // Not JSON escapes: read as before.
        EscapeCase{R"(\u12)", "u12"}, EscapeCase{R"(\u12G4)", "u12G4"}, EscapeCase{R"(\u)", "u"},
        EscapeCase{R"(\x41)", "x41"}, EscapeCase{R"(\a\')", "a'"}, EscapeCase{R"(\u00\")", "u00\""},
        EscapeCase{"\\\xD0\xAF", "\xD0\xAF"}));

TEST(ParseCommand, ACommandNameWrittenWithEscapesIsThatCommand) {
  EXPECT_EQ(parseCommand(R"({"\u0074":"sc\u0061n","seconds":"\u0033"})"),
            (CommandFields{{"t", "scan"}, {"seconds", "3"}}));
}

TEST(ParseCommand, AnEscapeCutByTheEndOfTheLineStaysAsWritten) {
  EXPECT_EQ(parseCommand(R"({"v":"a\u00)"), (CommandFields{{"v", "au00"}}));
  EXPECT_EQ(parseCommand(R"({"v":"\uD83D\u)"), (CommandFields{{"v", "\xEF\xBF\xBDu"}}));
  EXPECT_EQ(parseCommand(R"({"v":"\uD83D\)"), (CommandFields{{"v", "\xEF\xBF\xBD\\"}}));
}

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
