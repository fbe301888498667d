#include "buffers.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>

TEST(output_buffer, keeps_order_across_copies_references_and_flushes) {
  std::mt19937 rng(1);  // NOLINT(cert-msc32-c,cert-msc51-cpp): the same pieces every run
  std::string source(1 << 20, ' ');
  for (char& c : source) c = static_cast<char>('a' + rng() % 26);
  heap_buffer stable;  // copies come from heap buffers, which have slack
  ASSERT_TRUE(reserve(stable, source.size()));
  source.copy(stable.data.get(), source.size());

  std::string written(size_t{256} << 20, '\0');
  for (const filter_limits& limits : {shipped_limits, tiny_limits}) {
    std::string expected;
    byte_sink sink;
    sink.buffer = written.data();
    sink.capacity = written.size();
    output_buffer out;
    ASSERT_TRUE(open_output(out, sink, limits));
    for (int i = 0; i < 5000; ++i) {
      // Mostly short pieces, now and then one longer than the block.
      const size_t size = rng() % 8 == 0 ? rng() % (size_t{300} * 1024) : rng() % 3000;
      const size_t at = rng() % (source.size() - size);
      if (rng() % 2 != 0)
        emit_stable(out, padded(stable, at, size));
      else
        emit_copy(out, padded(stable, at, size));
      expected.append(source, at, size);
      if (rng() % 500 == 0) flush(out);
    }
    // More references than one writev takes.
    for (size_t i = 0; i < 3 * static_cast<size_t>(out.max_pieces); ++i) {
      emit_stable(out, padded(stable, i, limits.reference_size));
      expected.append(source, i, limits.reference_size);
    }
    // From an empty array, a copy and a reference in turn, so that the array
    // fills up while the block holds bytes that no piece describes yet.
    flush(out);
    for (size_t i = 0; i < 2 * static_cast<size_t>(out.max_pieces) + 3; ++i) {
      emit_copy(out, padded(stable, i, 1 + i % 7));
      emit_stable(out, padded(stable, 2 * i, limits.reference_size + i % 3));
      expected.append(source, i, 1 + i % 7).append(source, 2 * i, limits.reference_size + i % 3);
    }
    emit_copy(out, padded(stable, 5, 9));
    expected.append(source, 5, 9);
    flush(out);
    EXPECT_EQ(sink.error, 0);
    EXPECT_EQ(sink.size, expected.size());
    EXPECT_TRUE(written.compare(0, sink.size, expected) == 0) << limits.max_pieces;
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
  // Far more than a pipe holds, in pieces of odd sizes, so writes end mid-piece.
  std::string expected;
  std::string pieces_text[300];
  iovec pieces[300];
  for (int i = 0; i < 300; ++i) {
    pieces_text[i] =
        std::string(static_cast<size_t>(997 * (i % 7) + 1), static_cast<char>('a' + i % 26));
    pieces[i] = iovec{pieces_text[i].data(), pieces_text[i].size()};
    expected += pieces_text[i];
  }
  byte_sink sink;
  sink.fd = fds[1];
  sink_writev(sink, pieces, 300);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  EXPECT_EQ(sink.error, 0);
  EXPECT_TRUE(received == expected);
}
