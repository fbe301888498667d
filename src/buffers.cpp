#include "buffers.hpp"

bool reserve(heap_buffer& buffer, size_t size) {
  if (size <= buffer.capacity) return true;
  size_t capacity = buffer.capacity > static_cast<size_t>(-1) / 2 ? size : 2 * buffer.capacity;
  capacity = std::max(capacity, size);
  if (capacity > static_cast<size_t>(-1) - short_copy) return false;
  // realloc frees the old block or hands it back on failure.
  char* old = buffer.data.release();
  char* p = static_cast<char*>(std::realloc(old, capacity + short_copy));
  if (p == nullptr) {
    buffer.data.reset(old);
    return false;
  }
  buffer.data.reset(p);
  buffer.capacity = capacity;
  return true;
}

bool open_output(output_buffer& out, byte_sink& sink) {
  out.sink = &sink;
  return reserve(out.block, output_buffer::block_capacity);
}

namespace {

void add_piece(output_buffer& out, const char* data, size_t size) {
  // writev only reads through the pointer.
  out.pieces[out.count++] = iovec{const_cast<char*>(data), size};
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
  sink_writev(*out.sink, out.pieces, out.count);
  out.count = 0;
  out.size = 0;
  out.gathered = 0;
}

void emit_copy_slow(output_buffer& out, const char* data, size_t size) {
  flush(out);
  if (size > output_buffer::block_capacity) {
    sink_write(*out.sink, data, size);
    return;
  }
  std::memcpy(out.block.data.get(), data, size);
  out.size = size;
}

void emit_reference(output_buffer& out, const char* data, size_t size) {
  if (out.count + 2 > output_buffer::max_pieces) flush(out);
  gather_block(out);
  add_piece(out, data, size);
}
