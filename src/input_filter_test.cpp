#include "input_filter.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>

#include "memory_file.hpp"

namespace {

const timing_params example{50, 60, 5, 30, 3, 40, 45, 4, 20, 2, 100, 10};
const std::string ordinary_tim = "TIM,36,44,45,55,27,33,18,22,100,100,100,100\n";
const std::string master_tim = "TIM,41,49,55,65,27,33,18,22,100,100,100,100\n";

std::string rewrite(std::string_view text, block_scanner scan = best_block_scanner(),
                    const filter_limits& limits = shipped_limits) {
  byte_source input;
  input.fd = memory_file(text);
  byte_sink output;
  output.fd = memory_file();
  run_filter(input, example, output, scan, limits);
  EXPECT_EQ(input.error, 0);
  EXPECT_EQ(output.error, 0);
  std::string result = file_text(output.fd);
  close(input.fd);
  close(output.fd);
  return result;
}

// The shipped limits with reads of `size` bytes at most.
filter_limits reads_of(size_t size) {
  filter_limits limits = shipped_limits;
  limits.read_block = size;
  return limits;
}

// The rewrite done the plain way: one line at a time.
std::string rewrite_by_lines(std::string_view text) {
  std::string result;
  std::string rules;
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    const std::string_view line =
        text.substr(0, newline == std::string_view::npos ? text.size() : newline + 1);
    text.remove_prefix(line.size());
    switch (classify_line(line)) {
      case line_class::pipe:
        result += is_master_pipe(pipe_number(line)) ? master_tim : ordinary_tim;
        result += rules;
        break;
      case line_class::rules:
        rules = line;
        break;
      case line_class::tim:
        break;
      case line_class::other:
        result += line;
        break;
    }
  }
  return result;
}

// Lines of every kind and many lengths, so that keywords and line ends fall
// on every offset of the 64-byte blocks, the 4 KiB chunks and the reads.
std::string random_input(size_t size, unsigned seed) {
  static const char* const pieces[] = {"PIPE", "RULES",  "TIM",     "PIP",   "RULE", "TI",
                                       ":",    "::",     "12",      "-7",    " ",    "\r",
                                       "\xff", "PIPE:3", "TIMPIPE", "PPIPEE"};
  std::mt19937 rng(seed);
  std::string text;
  while (text.size() < size) {
    const size_t length = rng() % 16 == 0 ? rng() % 9000 : rng() % 90;
    std::string line;
    while (line.size() < length) {
      if (rng() % 64 == 0)
        line += '\0';
      else if (rng() % 4 == 0)
        line += pieces[rng() % (sizeof pieces / sizeof *pieces)];
      else
        line += static_cast<char>('a' + rng() % 26);
    }
    text += line;
    text += '\n';
  }
  return text;
}

}  // namespace

TEST(classify_line, searches_keywords_in_order_as_run_filter_does) {
  const struct {
    std::string_view line;
    line_class kind;
  } cases[] = {
      {"PIPE:1", line_class::pipe},
      {"a PIPELINE b", line_class::pipe},
      {"TIM RULES PIPE", line_class::pipe},
      {"PIPE:4 RULES", line_class::pipe},
      {"TIM RULES", line_class::rules},
      {"RULESTIM", line_class::rules},
      {"OPTIMUM", line_class::tim},
      {"TIMEOUT", line_class::tim},
      {"pipe Rules tim PIP E RULE TI PIPRULESE", line_class::rules},
      {"pipe Rules tim PIP E RULE TI PPIPE", line_class::pipe},
      {"pipe Rules tim PIP E RULE TI", line_class::other},
      {"TI:M PIPPIE RULE:S", line_class::other},
      {"", line_class::other},
      {std::string_view("\0PIPE", 5), line_class::pipe},
  };
  // The engine decides the class itself: each line goes through it after a
  // saved RULES line and before a PIPE line that shows what was saved, with
  // the keyword at every offset of a 64-byte block and of the tiny reads.
  int count = 0;
  const block_scanner* scanners = available_block_scanners(count);
  for (const auto& c : cases) {
    EXPECT_EQ(classify_line(c.line), c.kind) << c.line;
    for (size_t pad = 0; pad < 70; ++pad) {
      const std::string line = std::string(pad, 'x') + std::string(c.line) + "\n";
      const std::string input = "RULES r\n" + line + "PIPE:2\n";
      std::string expected;
      if (c.kind == line_class::pipe)
        expected = (is_master_pipe(pipe_number(line)) ? master_tim : ordinary_tim) + "RULES r\n";
      if (c.kind == line_class::other) expected = line;
      expected += ordinary_tim + (c.kind == line_class::rules ? line : "RULES r\n");
      for (int s = 0; s < count; ++s) {
        EXPECT_EQ(rewrite(input, scanners[s]), expected) << line << s;
        EXPECT_EQ(rewrite(input, scanners[s], {7, 200, 3, 12}), expected) << line << s;
      }
    }
  }
}

TEST(pipe_number, reads_the_second_field) {
  EXPECT_EQ(pipe_number("PIPE:3\n"), 3);
  EXPECT_EQ(pipe_number("PIPE::7:x\n"), 7);
  EXPECT_EQ(pipe_number("::PIPE:5\n"), 5);
  EXPECT_EQ(pipe_number("stage PIPE: 12 :y\n"), 12);
  EXPECT_EQ(pipe_number("PIPE:abc\n"), 0);
  EXPECT_EQ(pipe_number("3:PIPE\n"), 0);
  EXPECT_EQ(pipe_number("PIPE:-4"), -4);
  EXPECT_EQ(pipe_number("PIPE:99999999999\n"), INT32_MAX);
  // No second field at all.
  EXPECT_EQ(pipe_number("PIPE"), 0);
  EXPECT_EQ(pipe_number("PIPE\n"), 0);
  EXPECT_EQ(pipe_number("::PIPE:::"), 0);
}

TEST(is_master_pipe, repeats_every_five) {
  const bool expected[] = {true, false, false, true, true, true, false, false, true, true};
  for (int32_t n = 1; n <= 10; ++n) EXPECT_EQ(is_master_pipe(n), expected[n - 1]) << n;
  // Below 1 the remainder is negative or zero: only -4, -9, ... are masters.
  EXPECT_FALSE(is_master_pipe(0));
  EXPECT_FALSE(is_master_pipe(-1));
  EXPECT_FALSE(is_master_pipe(-3));
  EXPECT_TRUE(is_master_pipe(-4));
  EXPECT_TRUE(is_master_pipe(-9));
  // n - 1 wraps for the smallest n: 2147483647 % 5 is 2.
  EXPECT_FALSE(is_master_pipe(INT32_MIN));
  EXPECT_FALSE(is_master_pipe(INT32_MAX));  // 2147483646 % 5 is 1
}

TEST(write_tim_line, formats_both_classes_and_wraps) {
  char line[tim_line_max];
  EXPECT_EQ(std::string(line, write_tim_line(line, example, false)), ordinary_tim);
  EXPECT_EQ(std::string(line, write_tim_line(line, example, true)), master_tim);
  timing_params extreme{INT32_MIN, 0, 1, INT32_MAX, 1, 0, INT32_MIN, INT32_MIN, 0, 0, 0, 0};
  EXPECT_EQ(std::string(line, write_tim_line(line, extreme, false)),
            "TIM,-2147483648,-2147483648,2147483647,-2147483647,2147483646,-2147483648,0,0,"
            "100,100,100,100\n");
  EXPECT_EQ(std::string(line, write_tim_line(line, extreme, true)),
            "TIM,0,0,-1,1,2147483646,-2147483648,0,0,100,100,100,100\n");
}

TEST(run_filter, rewrites_the_worked_example) {
  const std::string input = "header\nRULES a\nPIPE:1\nTIM,1,2\nPIPE:2\nRULES b\nPIPE:4\nend\n";
  const std::string expected = "header\n" + master_tim + "RULES a\n" + ordinary_tim + "RULES a\n" +
                               master_tim + "RULES b\nend\n";
  EXPECT_EQ(rewrite(input), expected);
  // Limits out of their range do as the nearest in it.
  EXPECT_EQ(rewrite(input, best_block_scanner(), {0, 0, 0, 0}), expected);
  EXPECT_EQ(rewrite(input, best_block_scanner(), {1, 1, piece_limit + 1, 1}), expected);
}

TEST(run_filter, handles_edge_lines) {
  EXPECT_EQ(rewrite(""), "");
  // Before any RULES line a TIM line stands alone; a late RULES line vanishes.
  EXPECT_EQ(rewrite("PIPE:2\nRULES z\n"), ordinary_tim);
  // A PIPE line without a second field is pipe 0, an ordinary pipe.
  EXPECT_EQ(rewrite("PIPE\n"), ordinary_tim);
  // A last line without a newline is copied without one; a last RULES or
  // PIPE line without one is handled like any other.
  EXPECT_EQ(rewrite("a\nb"), "a\nb");
  EXPECT_EQ(rewrite("RULES x\nPIPE:1"), master_tim + "RULES x\n");
  EXPECT_EQ(rewrite("RULES x\nPIPE:1\nRULES y"), master_tim + "RULES x\n");
  EXPECT_EQ(rewrite("RULES x"), "");
  EXPECT_EQ(rewrite("RULES x\nPIPE:2\nRULES y\nPIPE:3"),
            ordinary_tim + "RULES x\n" + ordinary_tim + "RULES y\n");
  // Lines are bytes: CR, NUL, high bytes and '%' pass as they are.
  const std::string bytes("a\r\n\0b\xff%s%n\r\nRULES \0%d\r\nPIPE:1\r\n", 31);
  EXPECT_EQ(rewrite(bytes), std::string("a\r\n\0b\xff%s%n\r\n", 12) + master_tim +
                                std::string("RULES \0%d\r\n", 11));
  EXPECT_EQ(rewrite("\n\n\n"), "\n\n\n");
}

TEST(run_filter, handles_whole_lines_of_any_length) {
  // Longer than the read block: one line each, with keywords at the far end.
  const std::string long_plain(size_t{3} << 20, 'x');
  const std::string long_rules = std::string(600000, 'r') + "RULES\n";
  const std::string long_pipe = std::string(700000, 'p') + "PIPE:1\n";
  const std::string long_tim = std::string(800000, 't') + "TIM\n";
  const std::string input = long_plain + "\n" + long_rules + long_tim + long_pipe + long_plain;
  const std::string expected = long_plain + "\n" + master_tim + long_rules + long_plain;
  EXPECT_EQ(rewrite(input), expected);
  EXPECT_EQ(rewrite(input, best_block_scanner(), reads_of(4093)), expected);
  EXPECT_EQ(rewrite(input, best_block_scanner(), tiny_limits), expected);
}

TEST(run_filter, every_scanner_matches_the_line_by_line_rewrite) {
  int count = 0;
  const block_scanner* scanners = available_block_scanners(count);
  for (unsigned seed = 0; seed < 6; ++seed) {
    // Larger than a read, so lines straddle reads; the last line may lack
    // its newline.
    std::string input = random_input(size_t{700} * 1024, seed);
    if (seed % 2 != 0) input.pop_back();
    const std::string expected = rewrite_by_lines(input);
    for (int s = 0; s < count; ++s) {
      EXPECT_TRUE(rewrite(input, scanners[s]) == expected) << seed << " " << s;
      EXPECT_TRUE(rewrite(input, scanners[s], reads_of(65536 + 4093 * seed)) == expected)
          << seed << " " << s;
      // Tiny reads: every line arrives in pieces.
      const std::string head = input.substr(0, 20000);
      EXPECT_TRUE(rewrite(head, scanners[s], reads_of(1 + seed)) == rewrite_by_lines(head))
          << seed << " " << s;
      // Every limit of the filter reached many times over.
      EXPECT_TRUE(rewrite(input, scanners[s], tiny_limits) == expected) << seed << " " << s;
    }
  }
}

TEST(run_filter, finds_keywords_at_every_block_offset) {
  // "PIPE:1" and "TIM" at each offset of a line, across 64-byte and 4 KiB
  // boundaries, with plain lines of every length around them.
  std::string input;
  for (size_t pad = 0; pad < 4200; pad += (pad < 200 ? 1 : 61)) {
    input += std::string(pad, 'a') + "PIPE:1\n";
    input += std::string(pad % 70, 'b') + "\n" + std::string(pad % 67, 'c') + "TIM\n";
    input += "RULES " + std::to_string(pad) + "\n";
  }
  const std::string expected = rewrite_by_lines(input);
  int count = 0;
  const block_scanner* scanners = available_block_scanners(count);
  for (int s = 0; s < count; ++s) {
    EXPECT_TRUE(rewrite(input, scanners[s]) == expected) << s;
    EXPECT_TRUE(rewrite(input, scanners[s], tiny_limits) == expected) << s;
  }
}
