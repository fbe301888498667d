#include "timing_cfg.hpp"

#include <cstdio>

int32_t scale_by_1_3(int32_t value) {
  const double product = static_cast<double>(value) * 1.3;
  // The conversion of an out-of-range double is undefined, so clamp first.
  if (product >= 2147483648.0) return INT32_MAX;
  if (product <= -2147483649.0) return INT32_MIN;
  return static_cast<int32_t>(product);
}

size_t format_timing_cfg(char* out, const timing_params& params) {
  const timing_window pre = make_window(params.pre, params.pre_diff);
  const timing_window eva = make_window(params.eva, params.eva_diff);
  const timing_window or2 = make_window(params.or_, params.or_diff);
  static constexpr char format[] =
      "port_ti_min 0\n"
      "port_ti_max 0\n"
      "\n"
      "vb_pre_min %d\n"
      "vb_pre_max %d\n"
      "vb_eva_min %d\n"
      "vb_eva_max %d\n"
      "vb_rd_min 0\n"
      "vb_rd_max 0\n"
      "vb_ru_min 0\n"
      "vb_ru_max 0\n"
      "vb_clk_fall_min 100\n"
      "vb_clk_fall_max 100\n"
      "vb_clk_rise_min 100\n"
      "vb_clk_rise_max 100\n"
      "\n"
      "or2_logic_time_min %d\n"
      "or2_logic_time_max %d\n"
      "or3_logic_time_min %d\n"
      "or3_logic_time_max %d\n"
      "or4_logic_time_min %d \n"
      "or4_logic_time_max %d\n"
      "uni3_logic_time_min 659\n"
      "uni3_logic_time_max 670\n"
      "uni4_logic_time_min 659\n"
      "uni4_logic_time_max 670\n"
      "uni5_logic_time_min 800\n"
      "uni5_logic_time_max 977\n"
      "uni6_logic_time_min 659\n"
      "uni6_logic_time_max 670\n"
      "uni7_logic_time_min 0\n"
      "uni7_logic_time_max 0\n";
  // The template plus ten values of at most 11 characters each.
  static_assert(sizeof format + size_t{10} * 11 <= timing_cfg_max);
  const int n = std::snprintf(out, timing_cfg_max, format, pre.min, pre.max, eva.min, eva.max,
                              or2.min, or2.max, scale_by_1_3(or2.min), scale_by_1_3(or2.max),
                              wrapping_add(or2.min, or2.min), wrapping_add(or2.max, or2.max));
  return static_cast<size_t>(n);
}

replace_result write_timing_cfg(const timing_params& params) {
  char text[timing_cfg_max];
  const size_t size = format_timing_cfg(text, params);
  return replace_file(timing_cfg_path, std::string_view(text, size));
}
