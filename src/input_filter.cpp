#include "input_filter.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "buffers.hpp"
#include "keyword_scan.hpp"
#include "number.hpp"

line_class classify_line(std::string_view line) {
  constexpr auto npos = std::string_view::npos;
  return line_class_of((line.find("PIPE") != npos ? pipe_found : 0) |
                       (line.find("RULES") != npos ? rules_found : 0) |
                       (line.find("TIM") != npos ? tim_found : 0));
}

int32_t pipe_number(std::string_view line) {
  const char* p = line.data();
  const char* const end = p + line.size();
  while (p < end && *p == ':') ++p;  // leading separators
  p = find_byte(p, end, ':');        // the end of the first field
  while (p < end && *p == ':') ++p;  // the separators after it
  // The number ends at the next ':' at the latest, which is no digit.
  return parse_int32(std::string_view(p, static_cast<size_t>(end - p)));
}

bool is_master_pipe(int32_t pipe) {
  const int32_t r = wrapping_sub(pipe, 1) % 5;
  // Bits 0, 3 and 4 stand for the master remainders; negative ones are ordinary.
  return r >= 0 && ((0x19 >> r) & 1) != 0;
}

size_t write_tim_line(char* out, const timing_params& params, bool master) {
  const timing_window pre = make_window(master ? params.pre_master : params.pre, params.pre_diff);
  const timing_window eva = make_window(master ? params.eva_master : params.eva, params.eva_diff);
  const timing_window ru = make_window(params.ru, params.ru_diff);
  const timing_window rd = make_window(params.rd, params.rd_diff);
  const int n = std::snprintf(out, tim_line_max, "TIM,%d,%d,%d,%d,%d,%d,%d,%d,100,100,100,100\n",
                              pre.min, pre.max, eva.min, eva.max, ru.min, ru.max, rd.min, rd.max);
  return static_cast<size_t>(n);
}

// How the input is walked. run_filter reads the input in large blocks into
// one buffer and hands handle_region each stretch of whole lines it holds; a
// line cut off by the end of a read moves to the front of the buffer and is
// completed by the next read. handle_region takes its region in chunks of up
// to 64 blocks of 64 bytes: mark_chunk has the scanner mark each chunk's line
// ends and keyword candidates (the first and last letters of PIPE, RULES or
// TIM in place) and lists the candidates, and handle_chunk goes from
// candidate to candidate. A candidate that is a whole keyword makes its line
// a keyword line: the run of plain lines before it goes out in one piece,
// the keyword line is handled, and a new run starts after it. Plain lines are
// never looked at one by one. A keyword line may go on past its chunk; the
// region_position carries it into the next. Chunks are cut from the region,
// whatever the size of the read block, so the scanner reads no further than
// the region for tiny read blocks too.
namespace {

// A chunk is marked in one call of the scanner, and the blocks with a
// candidate fit in one 64-bit mask.
constexpr size_t chunk_blocks = 64;
constexpr size_t no_newline = static_cast<size_t>(-1);

// The marks of one chunk of a region, and where its candidates are: their
// offsets are listed once, rather than found in the marks again for each.
struct chunk_marks {
  uint64_t candidates[chunk_blocks];
  uint64_t newlines[chunk_blocks + 1];  // one more, always 0: start_of_line from the end
  uint16_t starts[64 * chunk_blocks];   // offsets of the candidates, in order
  static_assert(64 * chunk_blocks - 1 <= UINT16_MAX, "an offset in a chunk fits in starts");
  size_t blocks = 0;
  size_t count = 0;  // of starts
};

struct filter_state {
  // The TIM lines of an ordinary [0] and a master [1] pipe, formatted once
  // per run into tim_text.
  char tim_text[2][tim_line_max];
  std::string_view tim_line[2];
  // The saved RULES line, empty until the first one; held once, however long.
  heap_buffer rules;
  size_t rules_size = 0;
  bool out_of_memory = false;
  block_scanner scan = scan_blocks_plain;
  chunk_marks marks;  // reused for every chunk
};

void save_rules_line(filter_state& state, std::string_view line) {
  if (!reserve(state.rules, line.size())) {
    state.out_of_memory = true;
    return;
  }
  std::memcpy(state.rules.data.get(), line.data(), line.size());
  state.rules_size = line.size();
}

// Handles one line of a keyword class.
inline void handle_line(filter_state& state, output_buffer& out, std::string_view line,
                        line_class kind) {
  switch (kind) {
    case line_class::pipe: {
      const int master = is_master_pipe(pipe_number(line)) ? 1 : 0;
      emit_copy(out, state.tim_line[master]);
      emit_copy(out, std::string_view(state.rules.data.get(), state.rules_size));
      break;
    }
    case line_class::rules:
      save_rules_line(state, line);
      break;
    case line_class::tim:
      break;
    case line_class::other:
      emit_stable(out, line);
      break;
  }
}

// Offset in the chunk just after the last newline before offset `at`, or
// `fallback` when the chunk has none there.
inline size_t start_of_line(const chunk_marks& marks, size_t at, size_t fallback) {
  size_t b = at / 64;
  uint64_t before = marks.newlines[b] & ((uint64_t{1} << (at % 64)) - 1);
  while (before == 0) {
    if (b == 0) return fallback;
    before = marks.newlines[--b];
  }
  return 64 * b + 64 - static_cast<size_t>(std::countl_zero(before));
}

// Offset in the chunk of the first newline at or after offset `at`, or
// no_newline.
inline size_t end_of_line(const chunk_marks& marks, size_t at) {
  size_t b = at / 64;
  uint64_t found = marks.newlines[b] & (~uint64_t{0} << (at % 64));
  while (found == 0) {
    if (++b == marks.blocks) return no_newline;
    found = marks.newlines[b];
  }
  return 64 * b + static_cast<size_t>(std::countr_zero(found));
}

// Where the handling of a region stands, as offsets from the region's start.
struct region_position {
  size_t plain_begin = 0;  // the plain lines from here on are not written yet
  size_t line_begin = 0;   // the current line starts here
  unsigned found = 0;      // the keywords of the current line so far; 0 in plain lines
};

// Bytes [begin, end) of `region`; substr would check, and could throw.
inline std::string_view part(std::string_view region, size_t begin, size_t end) {
  assert(begin <= end && end <= region.size());
  return {region.data() + begin, end - begin};
}

// Writes the plain lines before the keyword line that ends at `line_end`,
// handles that line, and starts a new run of plain lines after it.
inline void finish_keyword_line(filter_state& state, output_buffer& out, region_position& pos,
                                std::string_view region, size_t line_end) {
  emit_stable(out, part(region, pos.plain_begin, pos.line_begin));
  handle_line(state, out, part(region, pos.line_begin, line_end), line_class_of(pos.found));
  pos.plain_begin = line_end;
  pos.line_begin = line_end;
  pos.found = 0;
}

// `found` and the keywords at the candidates starts[next] ... of the chunk
// at `base` with offsets below `limit`; moves `next` past them.
inline unsigned take_candidates(unsigned found, const chunk_marks& marks, size_t& next,
                                size_t limit, const char* base, const char* end) {
  for (; next < marks.count && marks.starts[next] < limit; ++next)
    found |= keyword_at(base + marks.starts[next], end);
  return found;
}

// Handles the lines of the chunk at offset `chunk` of `region`, going from
// candidate to candidate.
void handle_chunk(filter_state& state, output_buffer& out, region_position& pos,
                  const chunk_marks& marks, size_t chunk, std::string_view region) {
  const char* const end = region.data() + region.size();
  const char* const base = region.data() + chunk;
  size_t next = 0;     // the next candidate in marks.starts
  size_t keyword = 0;  // offset in the chunk of the keyword line's first keyword, or 0
  for (;;) {
    if (pos.found == 0) {
      if (next == marks.count) break;
      keyword = marks.starts[next++];
      pos.found = keyword_at(base + keyword, end);
      if (pos.found == 0) continue;
      const size_t start = start_of_line(marks, keyword, no_newline);
      if (start != no_newline) pos.line_begin = chunk + start;
    }
    const size_t newline = end_of_line(marks, keyword);
    if (newline == no_newline) {  // the keyword line goes on in the next chunk
      pos.found = take_candidates(pos.found, marks, next, no_newline, base, end);
      return;
    }
    // The keywords later in the line count too.
    pos.found = take_candidates(pos.found, marks, next, newline, base, end);
    finish_keyword_line(state, out, pos, region, chunk + newline + 1);
    if (state.out_of_memory) return;
  }
  // Only plain lines follow: the next line starts after the chunk's last newline.
  const size_t last = start_of_line(marks, 64 * marks.blocks, no_newline);
  if (last != no_newline) pos.line_begin = chunk + last;
}

// Marks the chunk at offset `chunk` of the region [begin, end) and lists its
// candidates in order.
void mark_chunk(filter_state& state, std::string_view region, size_t chunk) {
  const char* begin = region.data();
  const char* end = begin + region.size();
  chunk_marks& marks = state.marks;
  const size_t left = static_cast<size_t>(end - begin) - chunk;
  uint64_t hot = 0;  // bit b: block b has a candidate
  if (left >= 64 + scan_lookahead) {
    marks.blocks = std::min((left - scan_lookahead) / 64, chunk_blocks);
    hot = state.scan(begin + chunk, marks.blocks, marks.candidates, marks.newlines);
  } else {  // the region's last bytes, which a scanner would read past
    marks.blocks = 1;
    scan_tail(begin + chunk, end, marks.candidates[0], marks.newlines[0]);
    hot = marks.candidates[0] != 0 ? 1 : 0;
  }
  marks.newlines[marks.blocks] = 0;
  size_t count = 0;
  for (; hot != 0; hot &= hot - 1) {
    const int b = std::countr_zero(hot);
    for (uint64_t bits = marks.candidates[b]; bits != 0; bits &= bits - 1)
      marks.starts[count++] = static_cast<uint16_t>(64 * b + std::countr_zero(bits));
  }
  marks.count = count;
}

// Handles every line of `region`, which starts at a line start; a last line
// without a newline is handled as it stands.
void handle_region(filter_state& state, output_buffer& out, std::string_view region) {
  const size_t size = region.size();
  region_position pos;
  for (size_t chunk = 0; chunk < size && !state.out_of_memory; chunk += 64 * state.marks.blocks) {
    mark_chunk(state, region, chunk);
    handle_chunk(state, out, pos, state.marks, chunk, region);
  }
  if (state.out_of_memory) return;
  if (pos.found == 0)
    emit_stable(out, part(region, pos.plain_begin, size));
  else
    finish_keyword_line(state, out, pos, region, size);
}

// Reads all of `input` into `in` and handles it region by region.
void filter_input(filter_state& state, output_buffer& out, heap_buffer& in, byte_source& input,
                  const byte_sink& output, size_t read_block) {
  // `in` holds [0, held): at its start a partial line carried over from the
  // last read, then fresh data. Only whole lines are handled before end of
  // input, so the block grows only for a line longer than half of it. The
  // lines handled are borrowed by the output until it is flushed: `in` is
  // grown, read into and moved only after a flush.
  size_t held = 0;
  while (output.error == 0) {
    assert(borrows_nothing(out));
    if (in.capacity - held < read_block / 2 && !reserve(in, in.capacity + 1)) {
      state.out_of_memory = true;
      return;
    }
    char* data = in.data.get();
    const size_t n = source_read(input, data + held, std::min(in.capacity - held, read_block));
    if (n == 0) {  // end of input or a read error: what is held is the last line
      handle_region(state, out, std::string_view(data, held));
      return;
    }
    const void* newline = memrchr(data + held, '\n', n);
    held += n;
    if (newline == nullptr) continue;
    const size_t whole = static_cast<size_t>(static_cast<const char*>(newline) + 1 - data);
    handle_region(state, out, std::string_view(data, whole));
    flush(out);
    if (state.out_of_memory) return;
    std::memmove(data, data + whole, held - whole);
    held -= whole;
  }
}

}  // namespace

void run_filter(byte_source& input, const timing_params& params, byte_sink& output,
                block_scanner scan, const filter_limits& limits) {
  const filter_limits sizes = usable_limits(limits);
  filter_state state;
  state.scan = scan;
  for (int master = 0; master < 2; ++master) {
    char* text = state.tim_text[master];
    state.tim_line[master] = std::string_view(text, write_tim_line(text, params, master != 0));
  }

  output_buffer out;
  heap_buffer in;
  // The saved RULES line points into its block even while it is empty.
  if (!open_output(out, output, sizes) || !reserve(in, sizes.read_block) ||
      !reserve(state.rules, 1)) {
    input.error = ENOMEM;
    return;
  }
  filter_input(state, out, in, input, output, sizes.read_block);
  flush(out);
  if (state.out_of_memory && input.error == 0) input.error = ENOMEM;
}
