// The memory the filter reuses for a whole run: a heap block that grows
// only when a longer line needs it, and an output gatherer that turns many
// small pieces into few large writes.
#ifndef KESTRIG_BUFFERS_HPP
#define KESTRIG_BUFFERS_HPP

#include <sys/uio.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "byte_stream.hpp"
#include "filter_limits.hpp"

struct free_deleter {
  void operator()(void* p) const { std::free(p); }
};

// Grows through realloc, so that running out of memory is a return value.
struct heap_buffer {
  std::unique_ptr<char, free_deleter> data;
  size_t capacity = 0;  // bytes allocated at data
};

// Grows `buffer` to hold at least `size` bytes, at least doubling it; the
// contents are kept. False, with the buffer unchanged, when memory is short.
bool reserve(heap_buffer& buffer, size_t size);

// Output on its way to a sink. Short pieces are copied into `block`; long
// pieces of the input are written from where they lie, so that plain text
// is not copied twice. Everything goes out, in order, at the next flush at
// the latest. The pieces never outgrow their array: add_piece, the only
// code that adds one, writes a full array out first.
struct output_buffer {
  byte_sink* sink = nullptr;
  size_t block_capacity = 0;  // of block, from the limits; at least 1
  size_t reference_size = 0;  // pieces at least this long are not copied; at least 1
  heap_buffer block;          // allocated by open_output
  size_t size = 0;            // bytes used in block
  size_t gathered = 0;        // bytes of block already described by a piece
  // max_pieces entries, allocated by open_output; only add_piece adds one.
  std::unique_ptr<iovec[], free_deleter> pieces;
  int max_pieces = 0;
  int count = 0;
};

// Sets `out` up to write to `sink` with the gather block, piece count and
// reference size of `limits`, which usable_limits gives; false when memory
// is short.
bool open_output(output_buffer& out, byte_sink& sink, const filter_limits& limits);

// Writes everything gathered so far to the sink; after it no piece refers
// to bytes outside the block.
void flush(output_buffer& out);

// True when no piece refers to bytes outside the block: after a flush.
inline bool borrows_nothing(const output_buffer& out) { return out.count == 0; }

// What the emit functions do when the block is full or the piece is long.
void emit_copy_slow(output_buffer& out, const char* data, size_t size);
void emit_reference(output_buffer& out, const char* data, size_t size);

// Appends a copy of `from`; its bytes may change as soon as this returns.
inline void emit_copy(output_buffer& out, std::string_view from) {
  if (from.size() > out.block_capacity - out.size) {
    emit_copy_slow(out, from.data(), from.size());
    return;
  }
  std::memcpy(out.block.data.get() + out.size, from.data(), from.size());
  out.size += from.size();
}

// Appends `from`, which is borrowed if it is long: its bytes must stay
// unchanged, and in place, until the next flush.
inline void emit_stable(output_buffer& out, std::string_view from) {
  if (from.size() >= out.reference_size)
    emit_reference(out, from.data(), from.size());
  else
    emit_copy(out, from);
}

#endif  // KESTRIG_BUFFERS_HPP
