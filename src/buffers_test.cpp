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
  std::string expected;
  byte_sink sink;
  sink.buffer = written.data();
  sink.capacity = written.size();
  output_buffer out;
  ASSERT_TRUE(open_output(out, sink));
  for (int i = 0; i < 5000; ++i) {
    // Mostly short pieces, now and then one longer than the block.
    const size_t size = rng() % 8 == 0 ? rng() % (size_t{300} * 1024) : rng() % 3000;
    const size_t at = rng() % (source.size() - size);
    if (rng() % 2 != 0)
      emit_stable(out, stable.data.get() + at, size);
    else
      emit_copy(out, stable.data.get() + at, size);
    expected.append(source, at, size);
    if (rng() % 500 == 0) flush(out);
  }
  // More references than one writev takes.
  for (int i = 0; i < 3 * output_buffer::max_pieces; ++i) {
    emit_stable(out, stable.data.get() + i, output_buffer::reference_size);
    expected.append(source, static_cast<size_t>(i), output_buffer::reference_size);
  }
  flush(out);
  EXPECT_EQ(sink.error, 0);
  written.resize(sink.size);
  EXPECT_EQ(written.size(), expected.size());
  EXPECT_TRUE(written == expected);
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
