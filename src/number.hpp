// Conversion of decimal text to a 32-bit integer by the atoi rule, used for
// the command-line arguments and for pipe numbers alike.
#ifndef KESTRIG_NUMBER_HPP
#define KESTRIG_NUMBER_HPP

#include <cstdint>
#include <string_view>

// Skips leading white space (space, \t, \n, \v, \f, \r), accepts one optional
// '+' or '-', then reads decimal digits up to the first other byte; the rest
// is ignored. Text without digits gives 0. Values beyond the 32-bit range are
// clamped to -2147483648 ... 2147483647. Never fails. Inline: every PIPE
// line is parsed with it.
inline int32_t parse_int32(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  while (p < end && *p == '0') ++p;  // leading zeros add nothing
  // Eleven significant digits are beyond 32 bits whatever follows them, and
  // still far from overflowing 64.
  uint64_t magnitude = 0;
  for (int digits = 0; p < end && *p >= '0' && *p <= '9' && digits < 11; ++p, ++digits)
    magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
  constexpr uint64_t limit = uint64_t{1} << 31;  // the magnitude of INT32_MIN
  if (negative) return magnitude >= limit ? INT32_MIN : -static_cast<int32_t>(magnitude);
  return magnitude >= limit ? INT32_MAX : static_cast<int32_t>(magnitude);
}

#endif  // KESTRIG_NUMBER_HPP
