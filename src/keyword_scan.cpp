#include "keyword_scan.hpp"

#include <algorithm>

#if KESTRIG_SIMD && defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define KESTRIG_X86_VECTORS 1
#else
#define KESTRIG_X86_VECTORS 0
#endif

// bench/bench.py builds the tool with fewer scanners, to show in its table
// of tricks what each level is worth: 2 stops at SSE2.
#ifndef KESTRIG_SCANNER_LEVELS
#define KESTRIG_SCANNER_LEVELS 3
#endif

namespace {

// Gathers the high bits of the eight bytes into the low eight bits.
uint64_t gather_high_bits(uint64_t bits) { return ((bits >> 7) * 0x0102040810204080U) >> 56; }

#if KESTRIG_X86_VECTORS
// The keyword candidates and the newlines of 16 or 32 bytes.
struct vector_marks {
  uint32_t keywords;
  uint32_t newlines;
};

inline vector_marks marks_sse2(const char* p) {
  const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
  const __m128i b3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3));
  const __m128i b4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4));
  const __m128i pipe =
      _mm_and_si128(_mm_cmpeq_epi8(b0, _mm_set1_epi8('P')), _mm_cmpeq_epi8(b3, _mm_set1_epi8('E')));
  const __m128i rules =
      _mm_and_si128(_mm_cmpeq_epi8(b0, _mm_set1_epi8('R')), _mm_cmpeq_epi8(b4, _mm_set1_epi8('S')));
  const __m128i tim =
      _mm_and_si128(_mm_cmpeq_epi8(b0, _mm_set1_epi8('T')), _mm_cmpeq_epi8(b2, _mm_set1_epi8('M')));
  return {static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(pipe, rules), tim))),
          static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b0, _mm_set1_epi8('\n'))))};
}

uint64_t scan_blocks_sse2(const char* p, size_t blocks, uint64_t* keywords, uint64_t* newlines) {
  uint64_t hot = 0;
  for (size_t b = 0; b < blocks; ++b, p += 64) {
    uint64_t k = 0;
    uint64_t n = 0;
    for (int quarter = 0; quarter < 4; ++quarter) {
      const vector_marks m = marks_sse2(p + ptrdiff_t{16} * quarter);
      k |= uint64_t{m.keywords} << (16 * quarter);
      n |= uint64_t{m.newlines} << (16 * quarter);
    }
    keywords[b] = k;
    newlines[b] = n;
    hot |= uint64_t{k != 0} << b;
  }
  return hot;
}

__attribute__((target("avx2"))) inline vector_marks marks_avx2(const char* p) {
  const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i b2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2));
  const __m256i b3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 3));
  const __m256i b4 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4));
  const __m256i pipe = _mm256_and_si256(_mm256_cmpeq_epi8(b0, _mm256_set1_epi8('P')),
                                        _mm256_cmpeq_epi8(b3, _mm256_set1_epi8('E')));
  const __m256i rules = _mm256_and_si256(_mm256_cmpeq_epi8(b0, _mm256_set1_epi8('R')),
                                         _mm256_cmpeq_epi8(b4, _mm256_set1_epi8('S')));
  const __m256i tim = _mm256_and_si256(_mm256_cmpeq_epi8(b0, _mm256_set1_epi8('T')),
                                       _mm256_cmpeq_epi8(b2, _mm256_set1_epi8('M')));
  return {
      static_cast<uint32_t>(
          _mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(pipe, rules), tim))),
      static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b0, _mm256_set1_epi8('\n'))))};
}

__attribute__((target("avx2"))) uint64_t scan_blocks_avx2(const char* p, size_t blocks,
                                                          uint64_t* keywords, uint64_t* newlines) {
  uint64_t hot = 0;
  for (size_t b = 0; b < blocks; ++b, p += 64) {
    const vector_marks low = marks_avx2(p);
    const vector_marks high = marks_avx2(p + 32);
    keywords[b] = low.keywords | uint64_t{high.keywords} << 32;
    newlines[b] = low.newlines | uint64_t{high.newlines} << 32;
    hot |= uint64_t{(low.keywords | high.keywords) != 0} << b;
  }
  return hot;
}

// How many of the scanners above the processor and the system run: 2 (SSE2,
// always there on x86-64), 3 with AVX2. Asked with
// three cpuid instructions: the compiler's own feature table asks a dozen in
// every process's start-up, and in a virtual machine each one traps to the
// hypervisor, together costing about as much as the rest of a short run.
int x86_vector_scanners() {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  __cpuid(0, eax, ebx, ecx, edx);
  if (eax < 7) return 2;
  __cpuid(1, eax, ebx, ecx, edx);
  if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return 2;
  // Which register states the system saves: XMM and YMM.
  unsigned xcr0 = 0;
  unsigned xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  if ((xcr0 & 0x06) != 0x06) return 2;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  return (ebx & bit_AVX2) == 0 ? 2 : 3;
}
#endif

}  // namespace

uint64_t scan_blocks_plain(const char* p, size_t blocks, uint64_t* keywords, uint64_t* newlines) {
  uint64_t hot = 0;
  for (size_t b = 0; b < blocks; ++b) {
    uint64_t k = 0;
    uint64_t n = 0;
    for (int eighth = 0; eighth < 8; ++eighth, p += 8) {
      const uint64_t w0 = load64(p);
      n |= gather_high_bits(bytes_equal(w0, '\n')) << (8 * eighth);
      // P, R and T (and V) are the bytes 0101 0xx0: one test rules out most
      // words before the three exact ones.
      if (bytes_equal(w0 & 0xf9f9f9f9f9f9f9f9U, 0x50) == 0) continue;
      const uint64_t candidates = (bytes_equal(w0, 'P') & bytes_equal(load64(p + 3), 'E')) |
                                  (bytes_equal(w0, 'R') & bytes_equal(load64(p + 4), 'S')) |
                                  (bytes_equal(w0, 'T') & bytes_equal(load64(p + 2), 'M'));
      k |= gather_high_bits(candidates) << (8 * eighth);
    }
    keywords[b] = k;
    newlines[b] = n;
    hot |= uint64_t{k != 0} << b;
  }
  return hot;
}

void scan_tail(const char* p, const char* end, uint64_t& keywords, uint64_t& newlines) {
  keywords = 0;
  newlines = 0;
  const size_t size = static_cast<size_t>(end - p) < 64 ? static_cast<size_t>(end - p) : 64;
  for (size_t i = 0; i < size; ++i) {
    if (p[i] == '\n') newlines |= uint64_t{1} << i;
    if (keyword_at(p + i, end) != 0) keywords |= uint64_t{1} << i;
  }
}

block_scanner best_block_scanner() {
  int count = 0;
  const block_scanner* scanners = available_block_scanners(count);
  return scanners[count - 1];
}

const block_scanner* available_block_scanners(int& count) {
#if KESTRIG_X86_VECTORS
  static constexpr block_scanner scanners[] = {scan_blocks_plain, scan_blocks_sse2,
                                               scan_blocks_avx2};
  count = std::min(x86_vector_scanners(), KESTRIG_SCANNER_LEVELS);
#else
  static constexpr block_scanner scanners[] = {scan_blocks_plain};
  count = 1;
#endif
  return scanners;
}
