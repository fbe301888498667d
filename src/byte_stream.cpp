#include "byte_stream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace {

// After a write that failed with `error`: true when it is worth trying again.
// A descriptor set non-blocking by whoever shares it (a pipe to a slow
// reader) is waited on until it takes more, so that no output is lost.
bool can_retry(int fd, int error) {
  if (error == EINTR) return true;
  if (error != EAGAIN && error != EWOULDBLOCK) return false;
  pollfd writable{fd, POLLOUT, 0};
  while (poll(&writable, 1, -1) < 0)
    if (errno != EINTR) return false;
  return true;
}

}  // namespace

size_t source_read(byte_source& source, char* buffer, size_t size) {
  if (source.error != 0) return 0;
  for (;;) {
    const ssize_t n = read(source.fd, buffer, size);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    source.error = errno;
    return 0;
  }
}

void sink_write(byte_sink& sink, const char* data, size_t size) {
  // writev only reads through the pointer.
  iovec piece{const_cast<char*>(data), size};
  sink_writev(sink, &piece, 1);
}

void sink_writev(byte_sink& sink, iovec* pieces, int count) {
  size_t written = 0;  // of pieces[0] by the last writev, and past it
  for (;;) {
    // Skip what was written, which may end inside a piece, and empty pieces.
    while (count > 0 && written >= pieces->iov_len) {
      written -= pieces->iov_len;
      ++pieces;
      --count;
    }
    if (count <= 0 || sink.error != 0) return;
    pieces->iov_base = static_cast<char*>(pieces->iov_base) + written;
    pieces->iov_len -= written;
    written = 0;
    const ssize_t n = writev(sink.fd, pieces, count);
    if (n > 0) {
      written = static_cast<size_t>(n);
      continue;
    }
    const int error = n < 0 ? errno : EIO;  // a write that makes no progress is a failure
    if (!can_retry(sink.fd, error)) sink.error = error;
  }
}

int open_file(const char* path, int flags, mode_t mode) {
  return open_file_at(AT_FDCWD, path, flags, mode);
}

int open_file_at(int folder, const char* name, int flags, mode_t mode) {
  const int fd = openat(folder, name, flags | O_CLOEXEC, mode);
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  close(fd);
  errno = error;
  return moved;
}
