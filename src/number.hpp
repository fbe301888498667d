// Conversion of decimal text to a 32-bit integer by the atoi rule, used for
// the command-line arguments and for pipe numbers alike.
#ifndef KESTRIG_NUMBER_HPP
#define KESTRIG_NUMBER_HPP

#include <cstdint>
#include <string_view>

// Skips leading white space (space, \t, \n, \v, \f, \r), accepts one optional
// '+' or '-', then reads decimal digits up to the first other byte; the rest
// is ignored. Text without digits gives 0. Values beyond the 32-bit range are
// clamped to -2147483648 ... 2147483647. Never fails.
int32_t parse_int32(std::string_view text);

#endif  // KESTRIG_NUMBER_HPP
