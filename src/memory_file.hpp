// Files in memory for the tests and the fuzzer, which run the filter on
// descriptors as the tool does: memory_file holds a text to read from its
// start, file_text gives back all that such a file holds. A failure to make
// one aborts: there is nothing to test without it.
#ifndef KESTRIG_MEMORY_FILE_HPP
#define KESTRIG_MEMORY_FILE_HPP

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "byte_stream.hpp"

inline int memory_file(std::string_view text = {}) {
  byte_sink file;
  file.fd = memfd_create("kestrig", MFD_CLOEXEC);
  if (file.fd < 0) std::abort();
  sink_write(file, text.data(), text.size());
  if (file.error != 0 || lseek(file.fd, 0, SEEK_SET) != 0) std::abort();
  return file.fd;
}

inline std::string file_text(int fd) {
  struct stat st = {};
  if (fstat(fd, &st) != 0) std::abort();
  std::string text(static_cast<size_t>(st.st_size), '\0');
  if (pread(fd, text.data(), text.size(), 0) != st.st_size) std::abort();
  return text;
}

#endif  // KESTRIG_MEMORY_FILE_HPP
