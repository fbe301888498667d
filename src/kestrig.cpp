// kestrig: rewrites a timing input file onto standard output and writes
// timing.cfg. Only this file touches the process: arguments, files and the
// exit status.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "byte_stream.hpp"
#include "input_filter.hpp"
#include "number.hpp"
#include "timing_cfg.hpp"
#include "timing_params.hpp"

namespace {

// Wrong argument count or an input that cannot be opened.
constexpr int start_failure_status = 20;
// A read, write or timing.cfg failure after the output has begun.
constexpr int io_failure_status = 1;

struct command_line {
  timing_params params;
  const char* filename = nullptr;
};

// The twelve numbers and the file name, or nothing when the count is wrong.
// Numbers never fail: they follow the atoi rule, clamped to 32 bits.
std::optional<command_line> parse_args(int argc, const char* const* argv) {
  if (argc != 14) return std::nullopt;
  int32_t number[12];
  for (int i = 0; i < 12; ++i) number[i] = parse_int32(argv[i + 1]);
  command_line args;
  args.params = timing_params{number[0], number[1], number[2], number[3], number[4],  number[5],
                              number[6], number[7], number[8], number[9], number[10], number[11]};
  args.filename = argv[13];
  return args;
}

// The two failures that end a run before it starts are told on standard
// output, where the callers of this tool expect them, each in one write of
// its pieces.
void print_stdout(std::string_view a, std::string_view b = {}, std::string_view c = {}) {
  // writev only reads through the pointers.
  iovec pieces[] = {{const_cast<char*>(a.data()), a.size()},
                    {const_cast<char*>(b.data()), b.size()},
                    {const_cast<char*>(c.data()), c.size()}};
  byte_sink out;
  out.fd = STDOUT_FILENO;
  sink_writev(out, pieces, 3);
}

void report(const char* what, const char* reason) {
  // Nothing is left to tell the user if even this fails.
  static_cast<void>(std::fprintf(stderr, "kestrig: %s: %s\n", what, reason));
}

void report(const char* what, int error) { report(what, std::strerror(error)); }

// Opens the input for reading and fills `st`; a directory counts as a file
// not found.
int open_input(const char* filename, struct stat& st) {
  const int fd = open_file(filename, O_RDONLY);
  if (fd < 0) return -1;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

// True when `output` (standard output's) is the input file itself with
// something in it (`>>` onto the input): each write would give the filter
// more to read.
bool output_is_input(const struct stat& output, const struct stat& input) {
  return S_ISREG(output.st_mode) && output.st_dev == input.st_dev &&
         output.st_ino == input.st_ino && input.st_size > 0;
}

// True when `output` is timing.cfg, however reached: the run would replace
// its own output with the configuration.
bool output_is_timing_cfg(const struct stat& output) {
  struct stat cfg = {};
  return S_ISREG(output.st_mode) && stat(timing_cfg_path, &cfg) == 0 &&
         output.st_dev == cfg.st_dev && output.st_ino == cfg.st_ino;
}

// Whether a closed pipe would kill this process: not when the caller
// ignores or blocks SIGPIPE, which then asks for a plain write error.
bool sigpipe_kills() {
  struct sigaction action = {};
  sigset_t blocked;
  if (sigaction(SIGPIPE, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) return false;
  return sigprocmask(SIG_BLOCK, nullptr, &blocked) == 0 && sigismember(&blocked, SIGPIPE) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<command_line> args = parse_args(argc, argv);
  if (!args) {
    print_stdout(
        "kestrig <eva> <eva_master> <eva_diff> <ru> <ru_diff> <pre> <pre_master> <pre_diff> "
        "<rd> <rd_diff> <or> <or_diff> <filename>\n");
    return start_failure_status;
  }

  byte_source input;
  struct stat input_stat = {};
  input.fd = open_input(args->filename, input_stat);
  if (input.fd < 0) {
    print_stdout("File ", args->filename, " nicht gefunden.");
    return start_failure_status;
  }
  // A closed standard output fails the first write, as any unwritable one.
  struct stat output_stat = {};
  if (fstat(STDOUT_FILENO, &output_stat) == 0) {
    if (output_is_input(output_stat, input_stat)) {
      report(args->filename, "input file is output file");
      return io_failure_status;
    }
    if (output_is_timing_cfg(output_stat)) {
      report(timing_cfg_path, "standard output is timing.cfg");
      return io_failure_status;
    }
  }

  // A full file-size limit is a write error like any other. A closed pipe
  // stops the output but not timing.cfg; the signal comes after it.
  const bool die_by_sigpipe = sigpipe_kills();
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));

  byte_sink output;
  output.fd = STDOUT_FILENO;
  run_filter(input, args->params, output);
  close(input.fd);

  int status = 0;
  if (input.error != 0) {
    report(args->filename, input.error);
    status = io_failure_status;
  }
  const bool pipe_closed = output.error == EPIPE && die_by_sigpipe;
  if (output.error != 0 && !pipe_closed) {
    report("write error", output.error);
    status = io_failure_status;
  }
  if (const replace_result cfg = write_timing_cfg(args->params); cfg.error != 0) {
    char reason[PATH_MAX + 256];
    failure_text(cfg, reason, sizeof reason);
    report(timing_cfg_path, reason);
    status = io_failure_status;
  }
  if (pipe_closed) {
    static_cast<void>(std::signal(SIGPIPE, SIG_DFL));
    static_cast<void>(std::raise(SIGPIPE));
  }
  // Some file systems tell of a failed write only when the file is closed.
  if (output.error == 0 && close(STDOUT_FILENO) != 0 && errno != EINTR) {
    report("write error", errno);
    status = io_failure_status;
  }
  return status;
}
