#include "number.hpp"

int32_t parse_int32(std::string_view text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate the magnitude, saturating just above the largest one that
  // fits, so that any number of digits is safe.
  constexpr int64_t limit = int64_t{1} << 31;  // magnitude of INT32_MIN
  int64_t magnitude = 0;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > limit) magnitude = limit + 1;
  }
  if (negative) return magnitude >= limit ? INT32_MIN : static_cast<int32_t>(-magnitude);
  return magnitude >= limit ? INT32_MAX : static_cast<int32_t>(magnitude);
}
