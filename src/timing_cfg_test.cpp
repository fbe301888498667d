#include "timing_cfg.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string format_timing_cfg(const timing_params& params) {
  char text[timing_cfg_max];
  return std::string(text, format_timing_cfg(text, params));
}

timing_params with_or(int32_t nominal, int32_t diff) {
  timing_params params;
  params.or_ = nominal;
  params.or_diff = diff;
  return params;
}

// Lines 17 to 22 of the file: the three tiers of logic time.
std::string or_lines(const timing_params& params) {
  const std::string text = format_timing_cfg(params);
  const size_t begin = text.find("or2_logic_time_min");
  const size_t end = text.find("uni3_logic_time_min");
  return text.substr(begin, end - begin);
}

}  // namespace

TEST(format_timing_cfg, writes_the_whole_template) {
  timing_params params{50, 60, 5, 30, 3, 40, 45, 4, 20, 2, 100, 10};
  EXPECT_EQ(format_timing_cfg(params),
            "port_ti_min 0\nport_ti_max 0\n\n"
            "vb_pre_min 36\nvb_pre_max 44\nvb_eva_min 45\nvb_eva_max 55\n"
            "vb_rd_min 0\nvb_rd_max 0\nvb_ru_min 0\nvb_ru_max 0\n"
            "vb_clk_fall_min 100\nvb_clk_fall_max 100\nvb_clk_rise_min 100\nvb_clk_rise_max 100\n\n"
            "or2_logic_time_min 90\nor2_logic_time_max 110\n"
            "or3_logic_time_min 117\nor3_logic_time_max 143\n"
            "or4_logic_time_min 180 \nor4_logic_time_max 220\n"
            "uni3_logic_time_min 659\nuni3_logic_time_max 670\n"
            "uni4_logic_time_min 659\nuni4_logic_time_max 670\n"
            "uni5_logic_time_min 800\nuni5_logic_time_max 977\n"
            "uni6_logic_time_min 659\nuni6_logic_time_max 670\n"
            "uni7_logic_time_min 0\nuni7_logic_time_max 0\n");
}

TEST(format_timing_cfg, derives_the_or_tiers) {
  EXPECT_EQ(or_lines(with_or(7, 0)),
            "or2_logic_time_min 7\nor2_logic_time_max 7\nor3_logic_time_min 9\n"
            "or3_logic_time_max 9\nor4_logic_time_min 14 \nor4_logic_time_max 14\n");
  // Negative products truncate toward zero.
  EXPECT_EQ(or_lines(with_or(0, 3)),
            "or2_logic_time_min -3\nor2_logic_time_max 3\nor3_logic_time_min -3\n"
            "or3_logic_time_max 3\nor4_logic_time_min -6 \nor4_logic_time_max 6\n");
  // At the edges of 32 bits the window and the doubling wrap, 1.3 clamps.
  EXPECT_EQ(or_lines(with_or(INT32_MAX, 1)),
            "or2_logic_time_min 2147483646\nor2_logic_time_max -2147483648\n"
            "or3_logic_time_min 2147483647\nor3_logic_time_max -2147483648\n"
            "or4_logic_time_min -4 \nor4_logic_time_max 0\n");
}

TEST(scale_by_1_3, truncates_and_clamps) {
  EXPECT_EQ(scale_by_1_3(90), 117);
  EXPECT_EQ(scale_by_1_3(110), 143);
  EXPECT_EQ(scale_by_1_3(-3), -3);
  EXPECT_EQ(scale_by_1_3(-10), -13);
  // The largest and smallest values whose product still fits, and the next.
  EXPECT_EQ(scale_by_1_3(1651910498), 2147483647);
  EXPECT_EQ(scale_by_1_3(1651910499), INT32_MAX);
  EXPECT_EQ(scale_by_1_3(-1651910499), -2147483648);
  EXPECT_EQ(scale_by_1_3(-1651910500), INT32_MIN);
  EXPECT_EQ(scale_by_1_3(INT32_MAX), INT32_MAX);
  EXPECT_EQ(scale_by_1_3(INT32_MIN), INT32_MIN);
}
