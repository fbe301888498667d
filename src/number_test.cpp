#include "number.hpp"

#include <gtest/gtest.h>

TEST(parse_int32, follows_the_atoi_rule) {
  EXPECT_EQ(parse_int32("42"), 42);
  EXPECT_EQ(parse_int32("12abc"), 12);
  EXPECT_EQ(parse_int32(" \t\n\v\f\r-7x"), -7);
  EXPECT_EQ(parse_int32("+5"), 5);
  EXPECT_EQ(parse_int32("-0"), 0);
  EXPECT_EQ(parse_int32(""), 0);
  EXPECT_EQ(parse_int32("abc"), 0);
  EXPECT_EQ(parse_int32("- 3"), 0);
  EXPECT_EQ(parse_int32("+-3"), 0);
  EXPECT_EQ(parse_int32("3 4"), 3);
  EXPECT_EQ(parse_int32("0000000000000000000000000000017"), 17);
  // Only the view counts: no reading past its end, a NUL stops the digits.
  EXPECT_EQ(parse_int32(std::string_view("123", 2)), 12);
  EXPECT_EQ(parse_int32(std::string_view("1\0"
                                         "2",
                                         3)),
            1);
}

TEST(parse_int32, clamps_to_32_bits) {
  EXPECT_EQ(parse_int32("2147483647"), INT32_MAX);
  EXPECT_EQ(parse_int32("-2147483648"), INT32_MIN);
  EXPECT_EQ(parse_int32("2147483648"), INT32_MAX);
  EXPECT_EQ(parse_int32("-2147483649"), INT32_MIN);
  EXPECT_EQ(parse_int32("99999999999"), INT32_MAX);
  EXPECT_EQ(parse_int32("-99999999999"), INT32_MIN);
  EXPECT_EQ(parse_int32(std::string(5000, '9')), INT32_MAX);
  EXPECT_EQ(parse_int32("-" + std::string(5000, '9')), INT32_MIN);
}
