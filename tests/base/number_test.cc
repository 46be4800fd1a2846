#include "base/number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct NumberCase {
  const char* name;
  const char* text;
  uint64_t max;
  bool read;
  uint64_t value;
};

class NumberRead : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberRead, ReadsWithinItsBoundAlone) {
  const NumberCase& c = GetParam();
  uint64_t value = 77;
  EXPECT_EQ(number_read(c.text, c.max, &value), c.read) << c.text;
  EXPECT_EQ(value, c.read ? c.value : 77u) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NumberRead,
    ::testing::Values(
        // Controls: numbers within the bound, white space around them.
        NumberCase{"Zero", "0", 65535, true, 0},
        NumberCase{"PortWithBlanks", " 65535\r\n", 65535, true, 65535},
        NumberCase{"PacketsPast32Bits", "9999999999", UINT64_MAX, true, 9999999999u},
        NumberCase{"TwoTo32", "4294967296", UINT64_MAX, true, 4294967296u},
        NumberCase{"Largest64", "18446744073709551615", UINT64_MAX, true, UINT64_MAX},
        NumberCase{"LeadingZeros", "00000000000000000000000042", 100, true, 42},
        // Past the bound: unknown, never wrapped or cut.
        NumberCase{"PastPort", "65536", 65535, false, 0},
        NumberCase{"LeasePast32Bits", "4294967296", UINT32_MAX, false, 0},
        NumberCase{"Past64", "18446744073709551616", UINT64_MAX, false, 0},
        NumberCase{"Far", "99999999999999999999999", UINT64_MAX, false, 0},
        NumberCase{"DigitPastBound", "5", 0, false, 0},
        // No number.
        NumberCase{"Empty", "", 10, false, 0}, NumberCase{"Blank", " ", 10, false, 0},
        NumberCase{"Word", "abc", 10, false, 0}, NumberCase{"Negative", "-1", 10, false, 0},
        NumberCase{"Plus", "+1", 10, false, 0}, NumberCase{"TwoNumbers", "1 2", 100, false, 0},
        NumberCase{"Hex", "0x10", 100, false, 0}, NumberCase{"Unit", "7s", 100, false, 0}),
    [](const ::testing::TestParamInfo<NumberCase>& info) { return info.param.name; });

struct TruthCase {
  const char* name;
  const char* text;
  Truth truth;
};

class TruthRead : public ::testing::TestWithParam<TruthCase> {};

TEST_P(TruthRead, KnowsTheUpnpWordsAlone) {
  EXPECT_EQ(truth_read(GetParam().text), GetParam().truth) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TruthRead,
    ::testing::Values(
        TruthCase{"One", "1", Truth::kTrue}, TruthCase{"TrueUpper", " TRUE ", Truth::kTrue},
        TruthCase{"Yes", "Yes", Truth::kTrue}, TruthCase{"Zero", "0", Truth::kFalse},
        TruthCase{"False", "false", Truth::kFalse}, TruthCase{"No", "NO", Truth::kFalse},
        TruthCase{"Maybe", "maybe", Truth::kUnknown}, TruthCase{"Empty", "", Truth::kUnknown},
        TruthCase{"Two", "2", Truth::kUnknown}, TruthCase{"Yess", "yess", Truth::kUnknown}),
    [](const ::testing::TestParamInfo<TruthCase>& info) { return info.param.name; });

}  // namespace
