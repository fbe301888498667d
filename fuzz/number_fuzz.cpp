// Compares the atoi-rule conversion with a model that does the arithmetic
// in wide integers and clamps only at the end.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "number.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t i = 0;
  while (i < size && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < size && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  __int128 value = 0;
  for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    value = std::min(value, __int128{1} << 100);
  }
  if (negative) value = -value;
  const __int128 clamped = std::clamp<__int128>(value, INT32_MIN, INT32_MAX);
  if (parse_int32(text) != static_cast<int32_t>(clamped)) __builtin_trap();
  return 0;
}
