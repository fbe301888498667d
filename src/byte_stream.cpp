#include "byte_stream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
  size = std::min(size, source.max_read);
  if (source.fd < 0) {
    const size_t n = std::min(size, source.data.size());
    if (n > 0) std::memcpy(buffer, source.data.data(), n);
    source.data.remove_prefix(n);
    return n;
  }
  for (;;) {
    const ssize_t n = read(source.fd, buffer, size);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    source.error = errno;
    return 0;
  }
}

void sink_write(byte_sink& sink, const char* data, size_t size) {
  if (sink.error != 0) return;
  if (sink.fd < 0) {
    if (size > sink.capacity - sink.size) {
      sink.error = ENOSPC;
      return;
    }
    if (size > 0) std::memcpy(sink.buffer + sink.size, data, size);
    sink.size += size;
    return;
  }
  while (size > 0) {
    const ssize_t n = write(sink.fd, data, size);
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;  // a write that makes no progress is a failure
      if (can_retry(sink.fd, error)) continue;
      sink.error = error;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void sink_writev(byte_sink& sink, iovec* pieces, int count) {
  if (sink.fd < 0) {
    for (int i = 0; i < count; ++i)
      sink_write(sink, static_cast<const char*>(pieces[i].iov_base), pieces[i].iov_len);
    return;
  }
  while (count > 0 && sink.error == 0) {
    const ssize_t n = writev(sink.fd, pieces, count);
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;  // a write that makes no progress is a failure
      if (can_retry(sink.fd, error)) continue;
      sink.error = error;
      return;
    }
    // Skip what was written, which may end inside a piece.
    size_t written = static_cast<size_t>(n);
    while (count > 0 && written >= pieces->iov_len) {
      written -= pieces->iov_len;
      ++pieces;
      --count;
    }
    if (count > 0) {
      pieces->iov_base = static_cast<char*>(pieces->iov_base) + written;
      pieces->iov_len -= written;
    }
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
