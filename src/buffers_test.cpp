#include "buffers.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>

#include "memory_file.hpp"

TEST(output_buffer, keeps_order_across_copies_references_and_flushes) {
  std::mt19937 rng(1);  // NOLINT(cert-msc32-c,cert-msc51-cpp): the same pieces every run
  std::string source(1 << 20, ' ');
  for (char& c : source) c = static_cast<char>('a' + rng() % 26);
  const std::string_view stable = source;

  for (const filter_limits& limits : {shipped_limits, tiny_limits}) {
    std::string expected;
    byte_sink sink;
    sink.fd = memory_file();
    output_buffer out;
    ASSERT_TRUE(open_output(out, sink, limits));
    for (int i = 0; i < 5000; ++i) {
      // Mostly short pieces, now and then one longer than the block.
      const size_t size = rng() % 8 == 0 ? rng() % (size_t{300} * 1024) : rng() % 3000;
      const size_t at = rng() % (source.size() - size);
      if (rng() % 2 != 0)
        emit_stable(out, stable.substr(at, size));
      else
        emit_copy(out, stable.substr(at, size));
      expected.append(source, at, size);
      if (rng() % 500 == 0) flush(out);
    }
    // More references than one writev takes.
    for (size_t i = 0; i < 3 * static_cast<size_t>(out.max_pieces); ++i) {
      emit_stable(out, stable.substr(i, limits.reference_size));
      expected.append(source, i, limits.reference_size);
    }
    // From an empty array, a copy and a reference in turn, so that the array
    // fills up while the block holds bytes that no piece describes yet.
    flush(out);
    for (size_t i = 0; i < 2 * static_cast<size_t>(out.max_pieces) + 3; ++i) {
      emit_copy(out, stable.substr(i, 1 + i % 7));
      emit_stable(out, stable.substr(2 * i, limits.reference_size + i % 3));
      expected.append(source, i, 1 + i % 7).append(source, 2 * i, limits.reference_size + i % 3);
    }
    emit_copy(out, stable.substr(5, 9));
    expected.append(source, 5, 9);
    flush(out);
    EXPECT_EQ(sink.error, 0);
    EXPECT_TRUE(file_text(sink.fd) == expected) << limits.max_pieces;
    close(sink.fd);
  }
}

TEST(sink_writev, resumes_after_short_writes) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
      received.append(buffer, static_cast<size_t>(n));
  });
  // Far more than a pipe holds, in pieces of odd sizes, so writes end mid-piece,
  // and empty ones.
  std::string expected;
  std::string pieces_text[300];
  iovec pieces[300];
  for (int i = 0; i < 300; ++i) {
    pieces_text[i] =
        std::string(static_cast<size_t>(997 * (i % 7)), static_cast<char>('a' + i % 26));
    pieces[i] = iovec{pieces_text[i].data(), pieces_text[i].size()};
    expected += pieces_text[i];
  }
  byte_sink sink;
  sink.fd = fds[1];
  sink_writev(sink, pieces, 300);
  sink_write(sink, expected.data(), 0);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  EXPECT_EQ(sink.error, 0);
  EXPECT_TRUE(received == expected);
}
