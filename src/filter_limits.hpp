// The sizes the filter works with, in one record: the tool runs with
// shipped_limits; tests run the same code with tiny_limits, the fuzzer with
// tiny limits its input chooses, so that a few hundred bytes of input reach
// every limit that megabytes reach in the tool. The output never depends on
// the limits.
#ifndef KESTRIG_FILTER_LIMITS_HPP
#define KESTRIG_FILTER_LIMITS_HPP

#include <limits.h>

#include <algorithm>
#include <cstddef>

// The most pieces one writev takes: IOV_MAX, and 1024 at most.
constexpr int piece_limit = std::min(IOV_MAX, 1024);

// Every field is at least 1, read_block at least 2; max_pieces is at most
// piece_limit. The filter makes a smaller value do as the least would.
struct filter_limits {
  // Each read asks for this much; the read block grows, to at least twice
  // its size, when less than half of this is free after a partial line.
  size_t read_block;
  // Bytes of output copied together before they are written.
  size_t block_capacity;
  // Pieces gathered for one writev; the gatherer writes them out when full.
  int max_pieces;
  // Runs of input at least this long are written from where they lie
  // rather than copied.
  size_t reference_size;
};

// A quarter of the read block made rare-keyword input 11% slower, four times
// it gained nothing. Referencing runs of 1 KiB and more rather than copying
// everything is 11% faster on input with few keywords.
constexpr filter_limits shipped_limits{size_t{256} * 1024, size_t{128} * 1024, piece_limit, 1024};

// A read block of a few dozen bytes, a gather block of a few TIM lines, a
// handful of pieces and short runs referenced: on lines of ordinary length
// the piece array fills before the gather block does, and both fill often.
constexpr filter_limits tiny_limits{40, 200, 3, 12};

#endif  // KESTRIG_FILTER_LIMITS_HPP
