// The twelve timing parameters of a run and the min/max window they are
// turned into. Built once from the command line, then only read.
#ifndef KESTRIG_TIMING_PARAMS_HPP
#define KESTRIG_TIMING_PARAMS_HPP

#include <cstdint>

// The numeric arguments in command-line order. `or` is a reserved word in
// C++, so that field is spelt `or_`.
struct timing_params {
  int32_t eva = 0;
  int32_t eva_master = 0;
  int32_t eva_diff = 0;
  int32_t ru = 0;
  int32_t ru_diff = 0;
  int32_t pre = 0;
  int32_t pre_master = 0;
  int32_t pre_diff = 0;
  int32_t rd = 0;
  int32_t rd_diff = 0;
  int32_t or_ = 0;
  int32_t or_diff = 0;
};

// The bounds of one timing quantity: nominal - diff and nominal + diff.
struct timing_window {
  int32_t min = 0;
  int32_t max = 0;
};

// Two's complement wrapping sum and difference of 32-bit values; done in
// unsigned arithmetic because signed overflow is undefined.
constexpr int32_t wrapping_add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
constexpr int32_t wrapping_sub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

constexpr timing_window make_window(int32_t nominal, int32_t diff) {
  return timing_window{wrapping_sub(nominal, diff), wrapping_add(nominal, diff)};
}

#endif  // KESTRIG_TIMING_PARAMS_HPP
