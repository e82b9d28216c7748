// The resolver's reading of an address text.
#include <gtest/gtest.h>

#include "pairing/pairing.h"

namespace {

struct AddressCase {
  std::string text;
  uint64_t value;
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const AddressCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.text);
}

class ParseBluetoothAddress : public testing::TestWithParam<AddressCase> {};

TEST_P(ParseBluetoothAddress, TakesEveryHexDigitAndSkipsEverythingElse) {
  EXPECT_EQ(parseBluetoothAddress(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseBluetoothAddress,
    testing::Values(AddressCase{"A4:50:46:12:34:56", 0xA45046123456},
                    AddressCase{"a4-50-46-12-34-56", 0xA45046123456},
                    AddressCase{"A45046123456", 0xA45046123456},
                    AddressCase{" a4 50\t46:12-34_56 ", 0xA45046123456},
                    // More than 16 digits: the first ones are shifted out.
                    AddressCase{"00:11:22:33:44:55:66:77:88", 0x1122334455667788},
                    AddressCase{"FF:FF:00:00:A4:50:46:12:34:56", 0xA45046123456},
                    AddressCase{"FFFFFFFFFFFFFFFF", 0xFFFFFFFFFFFFFFFF}, AddressCase{"", 0},
                    AddressCase{":-: zz", 0},
                    // Letters past F and the bytes of non-ASCII text are not digits.
                    AddressCase{"g1h2G3", 0x123}, AddressCase{"я1é2", 0x12},
                    AddressCase{std::string{'1', '\0', '2'}, 0x12}));

}  // namespace
