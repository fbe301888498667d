// The memory the filter reuses for a whole run: a heap block that grows
// only when a longer line needs it, and an output gatherer that turns many
// small pieces into few large writes.
#ifndef KESTRIG_BUFFERS_HPP
#define KESTRIG_BUFFERS_HPP

#include <limits.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "byte_stream.hpp"

struct free_deleter {
  void operator()(char* p) const { std::free(p); }
};

// Short copies move this many bytes whatever their size, so that they need
// no branches on it (5% faster on mixed input than copying the size): a
// buffer may be read and written this far past its end.
constexpr size_t short_copy = 256;

// Grows through realloc, so that running out of memory is a return value.
// `capacity` bytes hold data; short_copy more after them are allocated too.
struct heap_buffer {
  std::unique_ptr<char, free_deleter> data;
  size_t capacity = 0;
};

// Grows `buffer` to hold at least `size` bytes, at least doubling it; the
// contents are kept. False, with the buffer unchanged, when memory is short.
bool reserve(heap_buffer& buffer, size_t size);

// Output on its way to a sink. Short pieces are copied into `block`; long
// pieces of the input are written from where they lie, so that plain text
// is not copied twice. Everything goes out, in order, at the next flush.
struct output_buffer {
  static constexpr size_t block_capacity = size_t{128} * 1024;
  // What one writev takes: IOV_MAX, 1024 at most, as the pieces are on the stack.
  static constexpr int max_pieces = std::min(IOV_MAX, 1024);
  // Pieces of the input at least this long are not copied: on input with
  // few keywords, where the runs of plain lines are long, that is 11% faster
  // than copying everything.
  static constexpr size_t reference_size = 1024;

  byte_sink* sink = nullptr;
  heap_buffer block;    // block_capacity bytes, allocated by open_output
  size_t size = 0;      // bytes used in block
  size_t gathered = 0;  // bytes of block already described by a piece
  iovec pieces[max_pieces];
  int count = 0;
};

// Sets `out` up to write to `sink`; false when memory is short.
bool open_output(output_buffer& out, byte_sink& sink);

// Writes everything gathered so far to the sink.
void flush(output_buffer& out);

// What the emit functions do when the block is full or the piece is long.
void emit_copy_slow(output_buffer& out, const char* data, size_t size);
void emit_reference(output_buffer& out, const char* data, size_t size);

// Appends a copy of `data`, which lies in a heap_buffer, so that short_copy
// bytes from it on may be read. `data` may change as soon as this returns.
inline void emit_copy(output_buffer& out, const char* data, size_t size) {
  if (size > output_buffer::block_capacity - out.size) {
    emit_copy_slow(out, data, size);
    return;
  }
  // The bytes copied past `size` land in the block's free space or its slack
  // and are overwritten or never written out.
  char* to = out.block.data.get() + out.size;
  if (size <= short_copy)
    std::memcpy(to, data, short_copy);
  else
    std::memcpy(to, data, size);
  out.size += size;
}

// Appends `data`, which must stay unchanged until the next flush.
inline void emit_stable(output_buffer& out, const char* data, size_t size) {
  if (size >= output_buffer::reference_size)
    emit_reference(out, data, size);
  else
    emit_copy(out, data, size);
}

#endif  // KESTRIG_BUFFERS_HPP
