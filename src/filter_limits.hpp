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
// piece_limit. run_filter takes any record through usable_limits.
struct filter_limits {
  // Each read asks for this much at most; the read block starts at this
  // size and grows, to at least twice its size, when less than half of this
  // is free after a partial line.
  size_t read_block;
  // Bytes of output copied together before they are written.
  size_t block_capacity;
  // Pieces gathered for one writev; the gatherer writes them out when full.
  int max_pieces;
  // Runs of input at least this long are written from where they lie
  // rather than copied.
  size_t reference_size;
};

// `limits` with each field raised or lowered into its range: a 0 does as 1.
constexpr filter_limits usable_limits(const filter_limits& limits) {
  // Half a read block of 1 byte would be none: no read would grow the block.
  return {std::max(limits.read_block, size_t{2}), std::max(limits.block_capacity, size_t{1}),
          std::clamp(limits.max_pieces, 1, piece_limit),
          std::max(limits.reference_size, size_t{1})};
}

// bench/bench.py builds the tool with other read blocks and reference sizes
// to show what the shipped ones are worth, in its table of tricks.
#ifndef KESTRIG_READ_BLOCK
#define KESTRIG_READ_BLOCK (size_t{256} * 1024)
#endif
#ifndef KESTRIG_REFERENCE_SIZE
#define KESTRIG_REFERENCE_SIZE 1024
#endif

constexpr filter_limits shipped_limits{KESTRIG_READ_BLOCK, size_t{128} * 1024, piece_limit,
                                       KESTRIG_REFERENCE_SIZE};

// A read block of a few dozen bytes, a gather block of a few TIM lines, a
// handful of pieces and short runs referenced: on lines of ordinary length
// the piece array fills before the gather block does, and both fill often.
constexpr filter_limits tiny_limits{40, 200, 3, 12};

#endif  // KESTRIG_FILTER_LIMITS_HPP
