#include "input_filter.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "buffers.hpp"
#include "keyword_scan.hpp"
#include "number.hpp"

line_class classify_line(std::string_view line) {
  if (line.find("PIPE") != std::string_view::npos) return line_class::pipe;
  if (line.find("RULES") != std::string_view::npos) return line_class::rules;
  if (line.find("TIM") != std::string_view::npos) return line_class::tim;
  return line_class::other;
}

int32_t pipe_number(std::string_view line) {
  const char* p = line.data();
  const char* const end = p + line.size();
  while (p < end && *p == ':') ++p;  // leading separators
  const void* colon = std::memchr(p, ':', static_cast<size_t>(end - p));  // ends the first field
  if (colon == nullptr) return 0;
  p = static_cast<const char*>(colon);
  while (p < end && *p == ':') ++p;  // the separators after it
  // The number ends at the next ':' at the latest, which is no digit.
  return parse_int32(std::string_view(p, static_cast<size_t>(end - p)));
}

bool is_master_pipe(int32_t pipe) {
  const int32_t r = wrapping_sub(pipe, 1) % 5;
  return r == 0 || r == 3 || r == 4;
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

namespace {

constexpr size_t read_block = 256 * 1024;

struct filter_state {
  // What a PIPE line becomes, [0] for an ordinary pipe and [1] for a master
  // pipe: its TIM line, formatted once per run, then the saved RULES line,
  // which is empty until the first one. Kept whole, so that a PIPE line
  // costs one copy.
  heap_buffer pipe_output[2];
  size_t tim_size[2] = {0, 0};
  size_t pipe_output_size[2] = {0, 0};
  bool out_of_memory = false;
  block_scanner scan = scan_blocks_plain;
};

// Handles one line of a keyword class.
void handle_line(filter_state& state, output_buffer& out, std::string_view line,
                 line_class kind) {
  switch (kind) {
    case line_class::pipe: {
      const int master = is_master_pipe(pipe_number(line)) ? 1 : 0;
      emit_copy(out, state.pipe_output[master].data.get(), state.pipe_output_size[master]);
      break;
    }
    case line_class::rules:
      for (int master = 0; master < 2; ++master) {
        heap_buffer& text = state.pipe_output[master];
        if (!reserve(text, state.tim_size[master] + line.size())) {
          state.out_of_memory = true;
          return;
        }
        std::memcpy(text.data.get() + state.tim_size[master], line.data(), line.size());
        state.pipe_output_size[master] = state.tim_size[master] + line.size();
      }
      break;
    case line_class::tim:
      break;
    case line_class::other:
      emit_stable(out, line.data(), line.size());
      break;
  }
}

// Where the scan of a region stands: offsets from the region's start.
struct scan_position {
  size_t run = 0;   // start of the plain lines not yet written
  size_t line = 0;  // start of the current line
  line_class kind = line_class::other;  // the strongest keyword of that line so far
};

// Takes the confirmed keywords among `candidates` (bits of the block at
// `base`) into the current line's class.
inline void take_keywords(scan_position& pos, uint64_t candidates, size_t base, const char* begin,
                          const char* end) {
  for (; candidates != 0; candidates &= candidates - 1) {
    const char* p = begin + base + static_cast<size_t>(__builtin_ctzll(candidates));
    // With five bytes at hand the check is free of branches, which the mix
    // of keywords in a file would mispredict.
    const bool found = end - p >= 5 ? keyword_at_unchecked(p) : keyword_at(p, end);
    // A candidate starts with P, R or T: pipe, rules or tim, in that order.
    static_assert(static_cast<int>(line_class::rules) == ('R' - 'P') >> 1 &&
                  static_cast<int>(line_class::tim) == ('T' - 'P') >> 1 &&
                  static_cast<int>(line_class::other) == 3);
    const int kind = found ? (*p - 'P') >> 1 : 3;
    pos.kind = static_cast<line_class>(std::min(kind, static_cast<int>(pos.kind)));
  }
}

// Walks one 64-byte block at `base` from keyword line to keyword line:
// plain lines are only passed over, a line with a keyword is handled at its
// newline.
void walk_block(filter_state& state, output_buffer& out, scan_position& pos, uint64_t candidates,
                uint64_t newlines, size_t base, const char* begin, const char* end) {
  for (;;) {
    if (pos.kind == line_class::other) {
      if (candidates == 0) {
        if (newlines != 0) pos.line = base + 64 - static_cast<size_t>(__builtin_clzll(newlines));
        return;
      }
      // The newlines before the next candidate end plain lines.
      const uint64_t before = newlines & (candidates ^ (candidates - 1));
      if (before != 0) {
        pos.line = base + 64 - static_cast<size_t>(__builtin_clzll(before));
        newlines &= ~before;
      }
      take_keywords(pos, candidates & -candidates, base, begin, end);
      candidates &= candidates - 1;
      continue;
    }
    if (newlines == 0) {  // the keyword line goes on past this block
      if (pos.kind != line_class::pipe) take_keywords(pos, candidates, base, begin, end);
      return;
    }
    const size_t bit = static_cast<size_t>(__builtin_ctzll(newlines));
    const uint64_t through = (uint64_t{2} << bit) - 1;  // the bits up to the line's end
    if (pos.kind != line_class::pipe && (candidates & through) != 0)
      take_keywords(pos, candidates & through, base, begin, end);
    const size_t next = base + bit + 1;
    emit_stable(out, begin + pos.run, pos.line - pos.run);
    handle_line(state, out, std::string_view(begin + pos.line, next - pos.line), pos.kind);
    pos.run = next;
    pos.line = next;
    pos.kind = line_class::other;
    candidates &= ~through;
    newlines &= newlines - 1;
  }
}

// Moves the line start to after the last newline in blocks [from, to) of a chunk.
void pass_plain_blocks(scan_position& pos, const uint64_t* newlines, size_t from, size_t to,
                       size_t chunk_base) {
  for (size_t b = to; b-- > from;) {
    if (newlines[b] != 0) {
      pos.line = chunk_base + 64 * b + 64 - static_cast<size_t>(__builtin_clzll(newlines[b]));
      return;
    }
  }
}

// Handles every line in [begin, end), which starts at a line start; a last
// line without a newline is handled as it stands. The bytes are marked 64 at
// a time, and only the blocks with a keyword candidate, or inside a keyword
// line, are walked: each run of plain lines goes out whole.
void handle_lines(filter_state& state, output_buffer& out, const char* begin, const char* end) {
  constexpr size_t chunk_blocks = 64;
  uint64_t candidates[chunk_blocks];
  uint64_t newlines[chunk_blocks];
  const size_t size = static_cast<size_t>(end - begin);
  scan_position pos;
  size_t blocks = 0;
  for (size_t chunk = 0; chunk < size && !state.out_of_memory; chunk += 64 * blocks) {
    blocks = 1;
    uint64_t hot = 0;  // bit b: block b has a candidate
    if (size - chunk >= 64 + scan_lookahead) {
      blocks = (size - chunk - scan_lookahead) / 64;
      if (blocks > chunk_blocks) blocks = chunk_blocks;
      hot = state.scan(begin + chunk, blocks, candidates, newlines);
    } else {
      scan_tail(begin + chunk, end, candidates[0], newlines[0]);
      hot = candidates[0] != 0 ? 1 : 0;
    }
    size_t done = 0;  // blocks of this chunk already accounted for
    while (done < blocks && !state.out_of_memory) {
      size_t b = done;
      if (pos.kind == line_class::other) {
        if (hot == 0) break;
        b = static_cast<size_t>(__builtin_ctzll(hot));
        pass_plain_blocks(pos, newlines, done, b, chunk);
      }
      walk_block(state, out, pos, candidates[b], newlines[b], chunk + 64 * b, begin, end);
      hot &= ~((uint64_t{2} << b) - 1);
      done = b + 1;
    }
    if (pos.kind == line_class::other) pass_plain_blocks(pos, newlines, done, blocks, chunk);
  }
  if (state.out_of_memory) return;
  if (pos.kind == line_class::other) {
    emit_stable(out, begin + pos.run, size - pos.run);
  } else {
    emit_stable(out, begin + pos.run, pos.line - pos.run);
    handle_line(state, out, std::string_view(begin + pos.line, size - pos.line), pos.kind);
  }
}

}  // namespace

void run_filter(byte_source& input, const timing_params& params, byte_sink& output) {
  filter_state state;
  state.scan = best_block_scanner();
  for (int master = 0; master < 2; ++master) {
    if (!reserve(state.pipe_output[master], tim_line_max)) {
      input.error = ENOMEM;
      return;
    }
    state.tim_size[master] = write_tim_line(state.pipe_output[master].data.get(), params, master != 0);
    state.pipe_output_size[master] = state.tim_size[master];
  }

  output_buffer out;
  heap_buffer in;
  if (!open_output(out, output) || !reserve(in, read_block)) {
    input.error = ENOMEM;
    return;
  }

  // `in` holds [0, held): at its start a partial line carried over from the
  // last read, then fresh data. Only whole lines are handled before end of
  // input, so the block grows only for a line longer than half of it.
  size_t held = 0;
  while (output.error == 0) {
    if (in.capacity - held < read_block / 2 && !reserve(in, in.capacity + 1)) {
      state.out_of_memory = true;
      break;
    }
    char* data = in.data.get();
    const size_t n = source_read(input, data + held, in.capacity - held);
    if (n == 0) {  // end of input or a read error: what is held is the last line
      handle_lines(state, out, data, data + held);
      break;
    }
    const void* newline = memrchr(data + held, '\n', n);
    held += n;
    if (newline == nullptr) continue;
    const size_t whole = static_cast<size_t>(static_cast<const char*>(newline) + 1 - data);
    handle_lines(state, out, data, data + whole);
    flush(out);  // before the lines it points into are moved or read over
    if (state.out_of_memory) break;
    std::memmove(data, data + whole, held - whole);
    held -= whole;
  }
  flush(out);
  if (state.out_of_memory && input.error == 0) input.error = ENOMEM;
}
