// What protocol 2 reads from a command line beyond its fields: the id as the host wrote it,
// and the address in its canonical form.
#include <gtest/gtest.h>

#include "host/command.h"

namespace {

TEST(CommandId, KeepsStringsAndIntegersAsWrittenAndRefusesEverythingElse) {
  struct Case {
    std::string line;
    IdStatus status;
    std::string text;
  };
  const Case cases[] = {
      {R"({"t":"scan"})", IdStatus::absent, ""},
      {R"({"t":"scan","id":7})", IdStatus::valid, "7"},
      {R"({"t":"scan","id": -12 })", IdStatus::valid, "-12"},
      {R"({"id":0,"t":"scan"})", IdStatus::valid, "0"},
      {R"({"t":"scan","id":"a,b}"})", IdStatus::valid, R"("a,b}")"},
      // Escapes stay as written, so the host reads back the very string it sent.
      {R"({"t":"scan","id":"q\"\\\u00e9\ud83d\ude00"})", IdStatus::valid,
       R"("q\"\\\u00e9\ud83d\ude00")"},
      {"{\"t\":\"scan\",\"id\":\"\xd1\x8f\"}", IdStatus::valid, "\"\xd1\x8f\""},
      {R"({"t":"scan","id":1,"id":"last"})", IdStatus::valid, R"("last")"},
      {R"({"t":"scan","id":""})", IdStatus::valid, R"("")"},
      {R"({"t":"scan","id":1.5})", IdStatus::invalid, ""},
      {R"({"t":"scan","id":1e3})", IdStatus::invalid, ""},
      {R"({"t":"scan","id":007})", IdStatus::invalid, ""},
      {R"({"t":"scan","id":true})", IdStatus::invalid, ""},
      {R"({"t":"scan","id":null})", IdStatus::invalid, ""},
      {R"({"t":"scan","id":{"a":1}})", IdStatus::invalid, ""},
      {R"({"t":"scan","id":["x"]})", IdStatus::invalid, ""},
      {R"({"t":"scan","id":})", IdStatus::invalid, ""},
      {R"({"t":"scan","id":"open)", IdStatus::invalid, ""},
      {R"({"t":"scan","id":"\x"})", IdStatus::invalid, ""},
      {R"({"t":"scan","id":"\ud83d"})", IdStatus::invalid, ""},
      {R"({"t":"scan","id":"\ude00x"})", IdStatus::invalid, ""},
      {"{\"t\":\"scan\",\"id\":\"a\tb\"}", IdStatus::invalid, ""},
      {"{\"t\":\"scan\",\"id\":\"\xff\"}", IdStatus::invalid, ""},
      {R"({"t":"scan","id":")" + std::string(maxIdLength - 2, 'x') + "\"}", IdStatus::valid,
       "\"" + std::string(maxIdLength - 2, 'x') + "\""},
      {R"({"t":"scan","id":")" + std::string(maxIdLength - 1, 'x') + "\"}", IdStatus::invalid, ""},
  };
  for (const Case& c : cases) {
    CommandId id = readId(c.line);
    EXPECT_EQ(id.status, c.status) << c.line;
    EXPECT_EQ(id.text, c.text) << c.line;
  }
}

TEST(CanonicalAddress, TakesTwelveHexDigitsPlainOrInPairsAndNothingElse) {
  const std::pair<std::string, std::string> good[] = {
      {"A4:50:46:12:34:56", "A4:50:46:12:34:56"},
      {"a4:50:46:1a:bc:de", "A4:50:46:1A:BC:DE"},
      {"a4-50-46-1a-bc-de", "A4:50:46:1A:BC:DE"},
      {"a450461abcde", "A4:50:46:1A:BC:DE"},
  };
  for (const auto& [text, canonical] : good) EXPECT_EQ(canonicalAddress(text), canonical) << text;
  const std::string bad[] = {"",
                             "A4:50:46:12:34",
                             "A4:50:46:12:34:56:78",
                             "A4:50-46:12:34:56",
                             "A4.50.46.12.34.56",
                             "A45:04:61:23:45:6",
                             "G4:50:46:12:34:56",
                             " A4:50:46:12:34:56",
                             "A4:50:46:12:34:5",
                             "A4504612345",
                             "A450461234567"};
  for (const std::string& text : bad) EXPECT_EQ(canonicalAddress(text), std::nullopt) << text;
}

TEST(DeviceAddress, NamesTheDeviceTheResolverDialsForAnySpelling) {
  const std::pair<std::string, std::string> cases[] = {
      {"a4-50-46-1a-bc-de", "A4:50:46:1A:BC:DE"},
      {"a4:50:46:12:34:56 \"п\"", "A4:50:46:12:34:56"},
      {"1234", "00:00:00:00:12:34"},
      {"FFA4:50:46:12:34:56", "A4:50:46:12:34:56"},
      {"xyz: -", ""},
  };
  for (const auto& [text, canonical] : cases) EXPECT_EQ(deviceAddress(text), canonical) << text;
}

}  // namespace
