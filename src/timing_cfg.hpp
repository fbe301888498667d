// The timing configuration file written at the end of every run that gets
// past the checks made before any output: 32 fixed lines, ten of them
// holding values computed from the parameters.
#ifndef KESTRIG_TIMING_CFG_HPP
#define KESTRIG_TIMING_CFG_HPP

#include <cstddef>
#include <cstdint>

#include "replace_file.hpp"
#include "timing_params.hpp"

// `value` times 1.3 in double precision, truncated toward zero and clamped
// to the 32-bit range.
int32_t scale_by_1_3(int32_t value);

// Where the file goes: the current directory.
constexpr char timing_cfg_path[] = "timing.cfg";

// Room enough for the text with the longest values.
constexpr size_t timing_cfg_max = 1024;

// Formats the whole text of timing.cfg for `params` into `out` (at least
// timing_cfg_max bytes) and returns its length.
size_t format_timing_cfg(char* out, const timing_params& params);

// Replaces timing.cfg in the current directory with the text, as a whole
// (see replace_file), and tells how that went.
replace_result write_timing_cfg(const timing_params& params);

#endif  // KESTRIG_TIMING_CFG_HPP
