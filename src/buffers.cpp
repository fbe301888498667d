#include "buffers.hpp"

#include <cassert>

bool reserve(heap_buffer& buffer, size_t size) {
  if (size <= buffer.capacity) return true;
  size_t capacity = buffer.capacity > static_cast<size_t>(-1) / 2 ? size : 2 * buffer.capacity;
  capacity = std::max(capacity, size);
  // realloc frees the old block or hands it back on failure.
  char* old = buffer.data.release();
  char* p = static_cast<char*>(std::realloc(old, capacity));
  if (p == nullptr) {
    buffer.data.reset(old);
    return false;
  }
  buffer.data.reset(p);
  buffer.capacity = capacity;
  return true;
}

bool open_output(output_buffer& out, byte_sink& sink, const filter_limits& limits) {
  assert(limits.block_capacity >= 1 && limits.reference_size >= 1);
  assert(limits.max_pieces >= 1 && limits.max_pieces <= piece_limit);
  out.sink = &sink;
  out.block_capacity = limits.block_capacity;
  out.reference_size = limits.reference_size;
  // The array is exactly as long as the count allows, so that a sanitizer
  // sees any write past it.
  out.max_pieces = limits.max_pieces;
  out.pieces.reset(
      static_cast<iovec*>(std::malloc(sizeof(iovec) * static_cast<size_t>(out.max_pieces))));
  return out.pieces != nullptr && reserve(out.block, limits.block_capacity);
}

namespace {

// The one place a piece is added. A full array is written out first; the
// block's bytes stay where they are until flush, so that the pieces written
// and the bytes not yet described both stay valid, and in order.
void add_piece(output_buffer& out, const char* data, size_t size) {
  if (out.count == out.max_pieces) {
    sink_writev(*out.sink, out.pieces.get(), out.count);
    out.count = 0;
  }
  // writev only reads through the pointer.
  out.pieces[static_cast<size_t>(out.count++)] = iovec{const_cast<char*>(data), size};
}

// Describes the bytes copied into the block since the last piece.
void gather_block(output_buffer& out) {
  if (out.size == out.gathered) return;
  add_piece(out, out.block.data.get() + out.gathered, out.size - out.gathered);
  out.gathered = out.size;
}

}  // namespace

void flush(output_buffer& out) {
  gather_block(out);
  sink_writev(*out.sink, out.pieces.get(), out.count);
  out.count = 0;
  out.size = 0;
  out.gathered = 0;
}

void emit_copy_slow(output_buffer& out, const char* data, size_t size) {
  flush(out);
  if (size > out.block_capacity) {
    sink_write(*out.sink, data, size);
    return;
  }
  std::memcpy(out.block.data.get(), data, size);
  out.size = size;
}

void emit_reference(output_buffer& out, const char* data, size_t size) {
  gather_block(out);
  add_piece(out, data, size);
}
