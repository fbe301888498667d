// Finding "PIPE", "RULES", "TIM" and line ends in whole buffers, 64 bytes at
// a time, so that runs of plain lines are passed over without looking at
// each line. Vector code is chosen at run time; the portable code stays.
#ifndef KESTRIG_KEYWORD_SCAN_HPP
#define KESTRIG_KEYWORD_SCAN_HPP

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Bytes a scanner reads past the blocks it marks: a keyword starting in the
// last byte of a block ends at most this far beyond it.
constexpr size_t scan_lookahead = 4;

// Marks `blocks` 64-byte blocks starting at `p`; bit i of keywords[b] and
// newlines[b] stands for byte p[64 * b + i]. A newline bit is set exactly for
// '\n'. A keyword bit is set exactly where the first and last letters of a
// keyword are in place ("P..E", "R...S", "T.M"); the caller confirms the
// letters between with keyword_at. Reads p[0] up to p[64 * blocks +
// scan_lookahead - 1]. `blocks` is at most 64; bit b of the result is set
// when keywords[b] is not 0.
using block_scanner = uint64_t (*)(const char* p, size_t blocks, uint64_t* keywords,
                                   uint64_t* newlines);

// Portable: eight bytes at a time in plain integer arithmetic.
uint64_t scan_blocks_plain(const char* p, size_t blocks, uint64_t* keywords, uint64_t* newlines);

// Marks the bytes of [p, end), fewer than 64 + scan_lookahead of them, as a
// block_scanner would, reading nothing at or past `end`; bits past the last
// byte that fits in one block are dropped, and keyword bits are confirmed.
void scan_tail(const char* p, const char* end, uint64_t& keywords, uint64_t& newlines);

// The fastest scanner this processor runs. Built with KESTRIG_SIMD off, it
// is always the portable one.
block_scanner best_block_scanner();

// Every scanner this build has that this processor runs, the portable one
// first; `count` receives how many.
const block_scanner* available_block_scanners(int& count);

// Eight bytes as a little-endian word, so that bit 8 * i + 7 stands for byte i.
inline uint64_t load64(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

// The high bit of each byte of `word` that equals `byte`, and no other bit.
inline uint64_t bytes_equal(uint64_t word, unsigned char byte) {
  constexpr uint64_t ones = 0x0101010101010101U;
  constexpr uint64_t low7 = 0x7f7f7f7f7f7f7f7fU;
  const uint64_t x = word ^ (ones * byte);
  return ~(((x & low7) + low7) | x | low7);
}

// The first `byte` in [p, end), or `end`; eight bytes at a time, for the
// short distances within a line where a call to memchr costs more.
inline const char* find_byte(const char* p, const char* end, unsigned char byte) {
  for (; end - p >= 8; p += 8) {
    const uint64_t found = bytes_equal(load64(p), byte);
    if (found != 0) return p + std::countr_zero(found) / 8;
  }
  for (; p < end; ++p)
    if (static_cast<unsigned char>(*p) == byte) return p;
  return end;
}

// The keywords, one bit each, so that a line's keywords gather in one set.
constexpr unsigned pipe_found = 1;
constexpr unsigned rules_found = 2;
constexpr unsigned tim_found = 4;

// The keyword that starts at `p` and ends at or before `end`, as its bit, or
// 0 when none does.
inline unsigned keyword_at(const char* p, const char* end) {
  const size_t left = static_cast<size_t>(end - p);
  switch (*p) {
    case 'P':
      return left >= 4 && std::memcmp(p, "PIPE", 4) == 0 ? pipe_found : 0;
    case 'R':
      return left >= 5 && std::memcmp(p, "RULES", 5) == 0 ? rules_found : 0;
    case 'T':
      return left >= 3 && std::memcmp(p, "TIM", 3) == 0 ? tim_found : 0;
    default:
      return 0;
  }
}

#endif  // KESTRIG_KEYWORD_SCAN_HPP
