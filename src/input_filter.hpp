// The rewrite of the input: PIPE lines become a TIM line plus the saved RULES
// line, RULES lines are held back, old TIM lines are dropped and every other
// line is copied byte for byte.
#ifndef KESTRIG_INPUT_FILTER_HPP
#define KESTRIG_INPUT_FILTER_HPP

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "byte_stream.hpp"
#include "filter_limits.hpp"
#include "keyword_scan.hpp"
#include "timing_params.hpp"

enum class line_class : uint8_t { pipe, rules, tim, other };

// The class of a line that holds the keywords `found` (pipe_found,
// rules_found, tim_found, anywhere in the line, inside words too): PIPE over
// RULES over TIM, other when it holds none. The one place the rule is
// decided: run_filter calls it with the keywords its scan confirmed in a
// line, classify_line with those a plain search finds.
inline line_class line_class_of(unsigned found) {
  if ((found & pipe_found) != 0) return line_class::pipe;
  if ((found & rules_found) != 0) return line_class::rules;
  if ((found & tim_found) != 0) return line_class::tim;
  return line_class::other;
}

// Classifies one line by plain case-sensitive substring search of the three
// keywords.
line_class classify_line(std::string_view line);

// The pipe number of a PIPE line: its second ':'-separated field (runs of ':'
// count as one separator, leading ones are skipped) by the atoi rule, or 0
// when the line has no second field.
int32_t pipe_number(std::string_view line);

// True for pipes 1, 4 and 5 of every five: (pipe - 1) % 5 is 0, 3 or 4 in
// wrapping 32-bit arithmetic with the remainder truncated toward zero.
bool is_master_pipe(int32_t pipe);

// Room enough for any TIM line.
constexpr size_t tim_line_max = 128;

// Formats the TIM line of a master or ordinary pipe, newline included, into
// `out` (at least tim_line_max bytes) and returns its length.
size_t write_tim_line(char* out, const timing_params& params, bool master);

// Rewrites all of `input` onto `output`, reading and writing in large blocks.
// Lines may be of any length; memory grows with the longest line only.
// Stops at end of input, at a read error (kept in input.error), when memory
// for a line cannot be had (ENOMEM, kept in input.error), or after a write
// error (kept in output.error). All that was rewritten before is written.
// `scan` and `limits` only change the speed, never the output.
void run_filter(byte_source& input, const timing_params& params, byte_sink& output,
                block_scanner scan = best_block_scanner(),
                const filter_limits& limits = shipped_limits);

#endif  // KESTRIG_INPUT_FILTER_HPP
