// jsonEscape, errorText and toUtf8.
#include <gtest/gtest.h>

#include "host/error_text.h"
#include "host/events.h"

namespace {

TEST(JsonEscape, EscapesOnlyWhatJsonNeeds) {
  EXPECT_EQ(jsonEscape("A\t\"\\\x01\x7F\xD1\x8F"), "A\\t\\\"\\\\\\u0001\x7F\xD1\x8F");
  EXPECT_EQ(jsonEscape(""), "");
  EXPECT_EQ(jsonEscape("\n\r\x1B/"), "\\n\\r\\u001b/");
  EXPECT_EQ(jsonEscape(std::string("\0\x1F", 2)), "\\u0000\\u001f");
  EXPECT_EQ(jsonEscape("\xFF\xC3"), "\xFF\xC3");  // ill-formed UTF-8 passes as it is
}

struct ErrorCase {
  int32_t code;
  std::u16string message;
  std::string text;
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ErrorCase& c, std::ostream* os) {
  *os << c.code;
}

class ErrorText : public testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorText, IsTheTrimmedMessageThenTheCodeInHex) {
  EXPECT_EQ(errorText({GetParam().code, GetParam().message}), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ErrorText,
    testing::Values(ErrorCase{static_cast<int32_t>(0x80004005), u"Unspecified error\r\n",
                              "Unspecified error (0x80004005)"},
                    ErrorCase{1, u"x", "x (0x00000001)"}, ErrorCase{0, u"", " (0x00000000)"},
                    ErrorCase{-1, u" \t\r\n", " (0xFFFFFFFF)"},
                    ErrorCase{42, u"a \"b\" \\ c \n\t ", "a \"b\" \\ c (0x0000002A)"},
                    ErrorCase{static_cast<int32_t>(0x8007048F), u"Устройство не подключено.\r\n",
                              "Устройство не подключено. (0x8007048F)"}));

TEST(ToUtf8, ConvertsWellFormedTextAndReplacesLoneSurrogates) {
  EXPECT_EQ(toUtf8(u""), "");
  EXPECT_EQ(toUtf8(u"abc"), "abc");
  EXPECT_EQ(toUtf8(u"я€"), "\xD1\x8F\xE2\x82\xAC");
  EXPECT_EQ(toUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(toUtf8(std::u16string(1, u'\xD83D')), "\xEF\xBF\xBD");
  EXPECT_EQ(toUtf8(std::u16string{u'a', u'\xDC00', u'b'}),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(toUtf8(std::u16string{u'\xD800', u'\xD800', u'\xDC00'}),
            "\xEF\xBF\xBD\xF0\x90\x80\x80");
  EXPECT_EQ(toUtf8(std::u16string(1, u'\0')), std::string(1, '\0'));
}

}  // namespace
