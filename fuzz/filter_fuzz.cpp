// Feeds arbitrary bytes and parameters to the filter and compares its output
// with a deliberately simple rewrite, one line at a time, kept here. Any
// difference is a crash. The filter runs with tiny limits, so that a few
// hundred bytes grow the read block and fill the gather block and the piece
// array, and sanitizers see any byte read or written past them.
//
// Input: byte 0 picks the scanner, byte 1 how often the text is repeated
// (up to 128 times), bytes 2 to 49 are the twelve parameters, bytes 50 to 53
// the read block, which caps each read (2 to 65 bytes), the gather block (1
// to 256), the piece count (1 to 8) and the reference size (1 to 48); the
// rest is the text.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "byte_stream.hpp"
#include "input_filter.hpp"
#include "keyword_scan.hpp"
#include "memory_file.hpp"

namespace {

int64_t atoi_model(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  int64_t sign = 1;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) sign = text[i++] == '-' ? -1 : 1;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    value = std::min(value, int64_t{1} << 40);  // far past 32 bits
  }
  value *= sign;
  return std::clamp<int64_t>(value, INT32_MIN, INT32_MAX);
}

// The second field when the line is split at runs of ':', as strtok would.
std::string_view second_field(std::string_view line) {
  std::string_view fields[2];
  int found = 0;
  size_t i = 0;
  while (found < 2) {
    i = line.find_first_not_of(':', i);
    if (i == std::string_view::npos) break;
    const size_t end = std::min(line.find(':', i), line.size());
    fields[found++] = line.substr(i, end - i);
    i = end;
  }
  return found == 2 ? fields[1] : std::string_view();
}

int32_t wrap(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

std::string tim_line(const timing_params& p, bool master) {
  const int64_t pre = master ? p.pre_master : p.pre;
  const int64_t eva = master ? p.eva_master : p.eva;
  char text[200];
  static_cast<void>(std::snprintf(
      text, sizeof text, "TIM,%d,%d,%d,%d,%d,%d,%d,%d,100,100,100,100\n", wrap(pre - p.pre_diff),
      wrap(pre + p.pre_diff), wrap(eva - p.eva_diff), wrap(eva + p.eva_diff),
      wrap(int64_t{p.ru} - p.ru_diff), wrap(int64_t{p.ru} + p.ru_diff),
      wrap(int64_t{p.rd} - p.rd_diff), wrap(int64_t{p.rd} + p.rd_diff)));
  return text;
}

std::string rewrite_model(std::string_view text, const timing_params& params) {
  std::string out;
  std::string rules;
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    const std::string_view line =
        text.substr(0, newline == std::string_view::npos ? text.size() : newline + 1);
    text.remove_prefix(line.size());
    if (line.find("PIPE") != std::string_view::npos) {
      const int64_t r = (int64_t{wrap(atoi_model(second_field(line)) - 1)}) % 5;
      out += tim_line(params, r == 0 || r == 3 || r == 4);
      out += rules;
    } else if (line.find("RULES") != std::string_view::npos) {
      rules = line;
    } else if (line.find("TIM") == std::string_view::npos) {
      out += line;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t header[54] = {};
  const size_t header_size = std::min(size, sizeof header);
  std::memcpy(header, data, header_size);
  const std::string_view body(reinterpret_cast<const char*>(data) + header_size,
                              size - header_size);
  int count = 0;
  const block_scanner* scanners = available_block_scanners(count);
  const block_scanner scan = scanners[header[0] % count];
  const size_t repeat = size_t{1} << (header[1] % 8);
  int32_t number[12];
  std::memcpy(number, header + 2, sizeof number);
  const timing_params params{number[0], number[1], number[2], number[3], number[4],  number[5],
                             number[6], number[7], number[8], number[9], number[10], number[11]};
  const filter_limits limits{size_t{2} + header[50] % 64, size_t{1} + header[51],
                             1 + header[52] % 8, size_t{1} + header[53] % 48};
  std::string text;
  for (size_t i = 0; i < repeat; ++i) text += body;

  byte_source input;
  input.fd = memory_file(text);
  byte_sink sink;
  sink.fd = memory_file();
  run_filter(input, params, sink, scan, limits);
  const std::string output = file_text(sink.fd);
  close(input.fd);
  close(sink.fd);
  if (input.error != 0 || sink.error != 0 || output != rewrite_model(text, params))
    __builtin_trap();
  return 0;
}
