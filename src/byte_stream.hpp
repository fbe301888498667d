// Where the filter's bytes come from and go to: file descriptors, read and
// written with the retries a pipe or a slow reader needs. Both keep the
// first error they meet.
#ifndef KESTRIG_BYTE_STREAM_HPP
#define KESTRIG_BYTE_STREAM_HPP

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

// Input: read(2) from `fd`.
struct byte_source {
  int fd = -1;
  int error = 0;  // first error (an errno value), 0 if none
};

// Output: write(2) to `fd`.
struct byte_sink {
  int fd = -1;
  int error = 0;  // first error (an errno value); nothing is written after it
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
