#include "input_filter.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "number.hpp"

line_class classify_line(std::string_view line) {
  if (line.find("PIPE") != std::string_view::npos) return line_class::pipe;
  if (line.find("RULES") != std::string_view::npos) return line_class::rules;
  if (line.find("TIM") != std::string_view::npos) return line_class::tim;
  return line_class::other;
}

int32_t pipe_number(std::string_view line) {
  size_t i = line.find_first_not_of(':');
  if (i == std::string_view::npos) return 0;
  i = line.find(':', i);                   // end of the first field
  if (i == std::string_view::npos) return 0;
  i = line.find_first_not_of(':', i);      // start of the second field
  if (i == std::string_view::npos) return 0;
  return parse_int32(line.substr(i, line.find(':', i) - i));
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
constexpr size_t output_capacity = 128 * 1024;

struct free_deleter {
  void operator()(char* p) const { std::free(p); }
};

// A heap block that only ever grows; realloc keeps failure a return value.
struct heap_buffer {
  std::unique_ptr<char, free_deleter> data;
  size_t capacity = 0;
};

// Grows `buffer` to hold at least `size` bytes, at least doubling it.
bool reserve(heap_buffer& buffer, size_t size) {
  if (size <= buffer.capacity) return true;
  size_t capacity = buffer.capacity > static_cast<size_t>(-1) / 2 ? size : 2 * buffer.capacity;
  if (capacity < size) capacity = size;
  char* p = static_cast<char*>(std::realloc(buffer.data.get(), capacity));
  if (p == nullptr) return false;
  static_cast<void>(buffer.data.release());
  buffer.data.reset(p);
  buffer.capacity = capacity;
  return true;
}

struct output_buffer {
  byte_sink* sink = nullptr;
  heap_buffer block;
  size_t size = 0;
};

void flush(output_buffer& out) {
  sink_write(*out.sink, out.block.data.get(), out.size);
  out.size = 0;
}

// Appends to the output block; a piece larger than the block goes straight out.
void emit(output_buffer& out, const char* data, size_t size) {
  if (size == 0) return;  // data may be null then: no saved RULES line yet
  if (size > out.block.capacity - out.size) {
    flush(out);
    if (size >= out.block.capacity) {
      sink_write(*out.sink, data, size);
      return;
    }
  }
  std::memcpy(out.block.data.get() + out.size, data, size);
  out.size += size;
}

struct filter_state {
  char tim[2][tim_line_max];  // [0] ordinary, [1] master: formatted once per run
  size_t tim_size[2] = {0, 0};
  heap_buffer rules;          // the saved RULES line, empty until the first one
  size_t rules_size = 0;
  bool out_of_memory = false;
};

void handle_line(filter_state& state, output_buffer& out, std::string_view line) {
  switch (classify_line(line)) {
    case line_class::pipe: {
      const int master = is_master_pipe(pipe_number(line)) ? 1 : 0;
      emit(out, state.tim[master], state.tim_size[master]);
      emit(out, state.rules.data.get(), state.rules_size);
      break;
    }
    case line_class::rules:
      if (!reserve(state.rules, line.size())) {
        state.out_of_memory = true;
        return;
      }
      std::memcpy(state.rules.data.get(), line.data(), line.size());
      state.rules_size = line.size();
      break;
    case line_class::tim:
      break;
    case line_class::other:
      emit(out, line.data(), line.size());
      break;
  }
}

// Handles every line in [begin, end); a last line without a newline is
// handled as it stands.
void handle_lines(filter_state& state, output_buffer& out, const char* begin, const char* end) {
  while (begin < end && !state.out_of_memory) {
    const void* newline = std::memchr(begin, '\n', static_cast<size_t>(end - begin));
    const char* line_end = newline ? static_cast<const char*>(newline) + 1 : end;
    handle_line(state, out, std::string_view(begin, static_cast<size_t>(line_end - begin)));
    begin = line_end;
  }
}

}  // namespace

void run_filter(byte_source& input, const timing_params& params, byte_sink& output) {
  filter_state state;
  for (int master = 0; master < 2; ++master)
    state.tim_size[master] = write_tim_line(state.tim[master], params, master != 0);

  output_buffer out;
  out.sink = &output;
  heap_buffer in;
  if (!reserve(out.block, output_capacity) || !reserve(in, read_block)) {
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
    if (state.out_of_memory) break;
    std::memmove(data, data + whole, held - whole);
    held -= whole;
  }
  flush(out);
  if (state.out_of_memory && input.error == 0) input.error = ENOMEM;
}
