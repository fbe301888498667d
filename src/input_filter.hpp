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

// Declared strongest first: a line is of the strongest keyword in it.
enum class line_class : uint8_t { pipe, rules, tim, other };

// Classifies one line by plain case-sensitive substring search, first match
// winning: "PIPE", then "RULES", then "TIM", else other. This is the rule in
// its plain form, not the code that ships: run_filter decides the class from
// the keyword marks itself, and the tests hold it to this rule (the fuzzer to
// a copy of its own).
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
