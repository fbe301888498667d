#include "byte_stream.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
    sink.text->append(data, size);
    return;
  }
  while (size > 0) {
    const ssize_t n = write(sink.fd, data, size);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      sink.error = n < 0 ? errno : EIO;  // a write that makes no progress is a failure
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
      if (n < 0 && errno == EINTR) continue;
      sink.error = n < 0 ? errno : EIO;
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
