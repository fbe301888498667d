#include "keyword_scan.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

// Bytes drawn mostly from the keywords' letters, so candidates are dense.
std::string keyword_soup(size_t size, unsigned seed) {
  static const char letters[] = "PIPERULESTIMTIMEPXS\n:a";
  std::mt19937 rng(seed);
  std::string text(size, ' ');
  for (char& c : text) c = letters[rng() % (sizeof letters - 1)];
  return text;
}

// How many scanners this processor should get, by the compiler's own feature
// check, which asks cpuid and the system alike: a wrong count leaves the
// output right, but the tool slower or faulting.
int scanners_for_this_processor() {
#if KESTRIG_SIMD && defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? 3 : 2;
#else
  return 1;
#endif
}

bool first_and_last_letters(const char* p) {
  return (p[0] == 'P' && p[3] == 'E') || (p[0] == 'R' && p[4] == 'S') ||
         (p[0] == 'T' && p[2] == 'M');
}

}  // namespace

TEST(block_scanner, every_scanner_marks_exactly) {
  int count = 0;
  const block_scanner* scanners = available_block_scanners(count);
  ASSERT_EQ(count, scanners_for_this_processor());
  EXPECT_EQ(best_block_scanner(), scanners[count - 1]);
  constexpr size_t blocks = 64;
  for (unsigned seed = 0; seed < 20; ++seed) {
    const std::string text = keyword_soup(64 * blocks + scan_lookahead, seed);
    for (int s = 0; s < count; ++s) {
      uint64_t keywords[blocks];
      uint64_t newlines[blocks];
      const uint64_t hot = scanners[s](text.data(), blocks, keywords, newlines);
      for (size_t b = 0; b < blocks; ++b) {
        uint64_t want_keywords = 0;
        uint64_t want_newlines = 0;
        for (size_t i = 0; i < 64; ++i) {
          const char* p = text.data() + 64 * b + i;
          if (first_and_last_letters(p)) want_keywords |= uint64_t{1} << i;
          if (*p == '\n') want_newlines |= uint64_t{1} << i;
        }
        ASSERT_EQ(keywords[b], want_keywords) << "scanner " << s << " block " << b;
        ASSERT_EQ(newlines[b], want_newlines) << "scanner " << s << " block " << b;
        ASSERT_EQ((hot >> b) & 1, uint64_t{want_keywords != 0});
      }
    }
  }
}

TEST(scan_tail, confirms_keywords_within_the_end) {
  const std::string text = "xPIPE\nRULES TIM PIPXE TI";
  for (size_t size = 0; size <= text.size(); ++size) {
    uint64_t keywords = 0;
    uint64_t newlines = 0;
    scan_tail(text.data(), text.data() + size, keywords, newlines);
    uint64_t want_keywords = 0;
    uint64_t want_newlines = 0;
    for (size_t i = 0; i < size; ++i) {
      if (keyword_at(text.data() + i, text.data() + size)) want_keywords |= uint64_t{1} << i;
      if (text[i] == '\n') want_newlines |= uint64_t{1} << i;
    }
    EXPECT_EQ(keywords, want_keywords) << size;
    EXPECT_EQ(newlines, want_newlines) << size;
  }
  // "TI" at the very end is no keyword, "PIPXE" never was.
  uint64_t keywords = 0;
  uint64_t newlines = 0;
  scan_tail(text.data(), text.data() + text.size(), keywords, newlines);
  EXPECT_EQ(keywords, (uint64_t{1} << 1) | (uint64_t{1} << 6) | (uint64_t{1} << 12));
}

TEST(find_byte, finds_the_first_occurrence) {
  const std::string text = keyword_soup(300, 3);
  for (size_t begin = 0; begin < 40; ++begin) {
    for (size_t end = begin; end < text.size(); end += 13) {
      const char* want = text.data() + text.find(':', begin);
      if (text.find(':', begin) >= end) want = text.data() + end;
      ASSERT_EQ(find_byte(text.data() + begin, text.data() + end, ':'), want);
    }
  }
  EXPECT_EQ(find_byte(text.data(), text.data() + text.size(), 'x'), text.data() + text.size());
}
