// Where the filter's bytes come from and go to: a file descriptor in the
// tool, memory in tests. Both keep the first error they meet.
#ifndef KESTRIG_BYTE_STREAM_HPP
#define KESTRIG_BYTE_STREAM_HPP

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <string_view>

// Input: read(2) from `fd` when it is >= 0, otherwise served from `data`.
struct byte_source {
  int fd = -1;
  std::string_view data;
  size_t max_read = static_cast<size_t>(-1);  // caps each read; tests use it to split input
  int error = 0;                              // first error (an errno value), 0 if none
};

// Output: write(2) to `fd` when it is >= 0, otherwise copied to `buffer`,
// which takes `capacity` bytes and then fails as a full disk does (ENOSPC).
struct byte_sink {
  int fd = -1;
  char* buffer = nullptr;
  size_t capacity = 0;
  size_t size = 0;  // bytes in buffer
  int error = 0;    // first error (an errno value); nothing is written after it
};

// Reads at most `size` bytes into `buffer` and returns how many it read.
// Returns 0 at end of input and on an error, which it keeps in `source.error`;
// once an error is kept every later call returns 0.
size_t source_read(byte_source& source, char* buffer, size_t size);

// Writes all `size` bytes, retrying short and interrupted writes and waiting
// on a non-blocking descriptor that is full. On failure keeps the error in
// `sink.error` and drops this and every later write.
void sink_write(byte_sink& sink, const char* data, size_t size);

// Writes the `count` pieces in order, as sink_write would write each one.
// The array itself is used up: its entries are changed.
void sink_writev(byte_sink& sink, iovec* pieces, int count);

// open(2) with O_CLOEXEC, but never onto standard input, output or error:
// where one of them is closed, the file goes on a higher descriptor, so that
// the closed one stays closed and writing to it fails as it should. Returns
// the descriptor, or -1 with errno set.
int open_file(const char* path, int flags, mode_t mode = 0);

// The same for `name` in the folder `folder` (a descriptor, or AT_FDCWD), as
// openat(2) takes them.
int open_file_at(int folder, const char* name, int flags, mode_t mode = 0);

#endif  // KESTRIG_BYTE_STREAM_HPP
