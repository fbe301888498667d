// End-to-end tests: run the built binary in a fresh directory and check its
// standard output, standard error, exit status and timing.cfg.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "timing_cfg.hpp"

namespace {

namespace fs = std::filesystem;

struct run_result {
  int status = -1;
  std::string out;
  std::string err;
};

const std::vector<std::string> example_numbers = {"50", "60", "5",  "30", "3",   "40",
                                                  "45", "4",  "20", "2",  "100", "10"};
const timing_params example_params{50, 60, 5, 30, 3, 40, 45, 4, 20, 2, 100, 10};

std::string format_timing_cfg(const timing_params& params) {
  char text[timing_cfg_max];
  return std::string(text, format_timing_cfg(text, params));
}

// What the tool says on standard error of a failure with `error`.
std::string message(const std::string& what, int error) {
  return "kestrig: " + what + ": " + std::strerror(error) + "\n";
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The emulator that runs the tool in a cross build, word by word; empty in a
// native one.
constexpr const char* emulator = KESTRIG_EMULATOR;

std::vector<std::string> emulator_words() {
  std::vector<std::string> words;
  std::istringstream text{std::string(emulator)};
  for (std::string word; text >> word;) words.push_back(word);
  return words;
}

// An address-space limit on qemu-user would bind qemu itself, and it does not
// apply one that the emulated program sets; its -R caps what the program may
// map instead, counting from address 0. Not so qemu-arm: it keeps a page at
// 0xffff0000 for 32-bit ARM programs, which any smaller -R cuts off, and
// aborts. Nor qemu-ppc64le: a 64-bit POWER program that is not a PIE is
// mapped at 256 MiB, so any -R that holds it leaves it 256 MiB below it.
bool emulator_caps_memory() {
  const std::vector<std::string> words = emulator_words();
  const std::string name = words.empty() ? "" : fs::path(words[0]).filename().string();
  return name.starts_with("qemu-") && name != "qemu-arm" && name != "qemu-ppc64le";
}

// How a run's process is set up.
struct run_options {
  std::string stdout_path;         // standard output goes to this file, else it is captured
  int stdout_fd = -1;              // or to this descriptor
  rlim_t memory_limit = 0;         // caps the address space (0: no cap)
  std::function<void()> in_child;  // called in the child just before exec
  std::string program = KESTRIG_BINARY;
};

struct kestrig_run : ::testing::Test {
  fs::path dir;
  mutable int runs = 0;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrig_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }

  // A started run, to be finished.
  struct process {
    pid_t pid = -1;
    fs::path out_path;
    fs::path err_path;
    bool capture = false;
  };

  // Starts the tool in `dir` with `args`. Standard error goes to a file of
  // the run's own, so that runs may overlap.
  process start(const std::vector<std::string>& args, const run_options& options = {}) const {
    process p;
    p.capture = options.stdout_path.empty() && options.stdout_fd < 0;
    p.out_path = options.stdout_path.empty() ? dir / (".stdout" + std::to_string(runs))
                                             : fs::path(options.stdout_path);
    p.err_path = dir / (".stderr" + std::to_string(runs++));
    std::vector<std::string> copy = emulator_words();
    const bool emulated = !copy.empty();
    if (emulated && options.memory_limit != 0)
      copy.insert(copy.begin() + 1, {"-R", std::to_string(options.memory_limit)});
    copy.push_back(options.program);
    copy.insert(copy.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(copy.size() + 1);
    for (std::string& arg : copy) argv.push_back(arg.data());
    argv.push_back(nullptr);
    p.pid = fork();
    if (p.pid == 0) {
      const int out = options.stdout_fd >= 0
                          ? options.stdout_fd
                          : open(p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || err < 0 || chdir(dir.c_str()) != 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(127);
      const rlimit limit{options.memory_limit, options.memory_limit};
      if (!emulated && options.memory_limit != 0 && setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
      if (options.in_child) options.in_child();
      execvp(argv[0], argv.data());  // the emulator, if any, is found on PATH
      _exit(127);
    }
    return p;
  }

  static run_result finish(const process& p) {
    run_result result;
    int wstatus = 0;
    waitpid(p.pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (p.capture) {
      result.out = read_file(p.out_path);
      fs::remove(p.out_path);
    }
    result.err = read_file(p.err_path);
    fs::remove(p.err_path);
    return result;
  }

  run_result run(const std::vector<std::string>& args, const run_options& options = {}) const {
    return finish(start(args, options));
  }

  run_result run_example(const std::string& filename, const run_options& options = {}) const {
    return run(with_file(example_numbers, filename), options);
  }

  static std::vector<std::string> with_file(std::vector<std::string> numbers,
                                            const std::string& filename) {
    numbers.push_back(filename);
    return numbers;
  }
};

const std::string example_input =
    "header\nRULES a\nPIPE:1\nTIM,1,2\nPIPE:2\nRULES b\nPIPE:4\nend\n";
const std::string example_output =
    "header\n"
    "TIM,41,49,55,65,27,33,18,22,100,100,100,100\nRULES a\n"
    "TIM,36,44,45,55,27,33,18,22,100,100,100,100\nRULES a\n"
    "TIM,41,49,55,65,27,33,18,22,100,100,100,100\nRULES b\n"
    "end\n";

}  // namespace

TEST_F(kestrig_run, rewrites_the_input_and_writes_timing_cfg) {
  write_file(dir / "in.txt", example_input);
  write_file(dir / "timing.cfg", "stale\n");
  const run_result r = run_example("in.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, example_output);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(dir / "timing.cfg"), format_timing_cfg(example_params));

  // Words without digits count as zero; an empty input still writes the file.
  write_file(dir / "empty", "");
  const run_result zeros =
      run({"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "empty"});
  EXPECT_EQ(zeros.status, 0);
  EXPECT_EQ(zeros.out, "");
  EXPECT_EQ(read_file(dir / "timing.cfg"), format_timing_cfg(timing_params{}));
}

TEST_F(kestrig_run, reads_timing_cfg_itself_before_replacing_it) {
  write_file(dir / "timing.cfg", "old PIPE:1\nkept\n");
  const run_result r = run_example("timing.cfg");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "TIM,41,49,55,65,27,33,18,22,100,100,100,100\nkept\n");
  EXPECT_EQ(read_file(dir / "timing.cfg"), format_timing_cfg(example_params));
}

TEST_F(kestrig_run, refuses_a_wrong_argument_count) {
  write_file(dir / "in.txt", example_input);
  write_file(dir / "timing.cfg", "untouched");
  const std::string usage =
      "kestrig <eva> <eva_master> <eva_diff> <ru> <ru_diff> <pre> <pre_master> <pre_diff> "
      "<rd> <rd_diff> <or> <or_diff> <filename>\n";
  std::vector<std::string> args(11, "1");
  args.push_back("in.txt");  // twelve in all
  for (int extra = 0; extra < 3; ++extra, args.insert(args.begin(), "1")) {
    if (extra == 1) continue;  // thirteen is right
    const run_result r = run(args);
    EXPECT_EQ(r.status, 20);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(run({}).out, usage);
  EXPECT_EQ(read_file(dir / "timing.cfg"), "untouched");
}

TEST_F(kestrig_run, reports_an_input_that_cannot_be_opened) {
  write_file(dir / "timing.cfg", "untouched");
  fs::create_directory(dir / "sub");
  for (const std::string name : {"missing.txt", "sub", "-", "./no%s%d"}) {
    const run_result r = run_example(name);
    EXPECT_EQ(r.status, 20) << name;
    EXPECT_EQ(r.out, "File " + name + " nicht gefunden.");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(read_file(dir / "timing.cfg"), "untouched");
  // A file called - is an ordinary file; standard input is never read.
  write_file(dir / "-", "dash\n");
  EXPECT_EQ(run_example("-").out, "dash\n");
}

TEST_F(kestrig_run, reports_a_read_error) {
  // Reading offset 0 of a process's memory fails with EIO.
  const run_result r = run_example("/proc/self/mem");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, message("/proc/self/mem", EIO));
  EXPECT_EQ(read_file(dir / "timing.cfg"), format_timing_cfg(example_params));
}

TEST_F(kestrig_run, reports_a_line_too_long_for_memory) {
  if (*emulator != '\0' && !emulator_caps_memory())
    GTEST_SKIP() << emulator << " cannot cap the address space";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#endif
#endif
  write_file(dir / "long.txt", "before\n" + std::string(size_t{96} << 20, 'x') + "\nafter\n");
  run_options options;
  options.memory_limit = rlim_t{64} << 20;
  const run_result r = run_example("long.txt", options);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out == "before\n") << r.out.size() << " bytes";  // not 96 MiB into the log
  EXPECT_EQ(r.err, message("long.txt", ENOMEM));
  EXPECT_EQ(read_file(dir / "timing.cfg"), format_timing_cfg(example_params));
}

TEST_F(kestrig_run, reports_a_write_error_on_standard_output) {
  std::string big;
  for (int i = 0; i < 100000; ++i) big += "line PIPE:" + std::to_string(i) + "\nplain\n";
  write_file(dir / "in.txt", big);
  for (const std::string& input : {example_input, big}) {
    write_file(dir / "in.txt", input);
    run_options options;
    options.stdout_path = "/dev/full";
    const run_result r = run_example("in.txt", options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, message("write error", ENOSPC));
    EXPECT_EQ(read_file(dir / "timing.cfg"), format_timing_cfg(example_params));
  }
}

namespace {

// The files in `dir`, by name. An NFS client renames a file that is open
// when another replaces it to .nfsXXXX and removes that when the last
// holder closes it, by a call it does not wait for: such names are given
// two seconds to go.
std::set<std::string> files_in(const fs::path& dir) {
  for (int tries = 0;; ++tries) {
    std::set<std::string> names;
    bool renamed_by_nfs = false;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
      const std::string name = entry.path().filename().string();
      renamed_by_nfs = renamed_by_nfs || name.starts_with(".nfs");
      names.insert(name);
    }
    if (!renamed_by_nfs || tries == 100) return names;
    usleep(20000);
  }
}

// Plain lines only, so that the output equals the input.
std::string plain_lines(size_t size) {
  std::string text;
  for (int i = 0; text.size() < size; ++i) text += "plain line " + std::to_string(i) + "\n";
  return text;
}

void limit_file_size(rlim_t bytes) {
  const rlimit limit{bytes, bytes};
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
}

}  // namespace

TEST_F(kestrig_run, parallel_runs_leave_one_runs_timing_cfg_whole) {
  write_file(dir / "in.txt", example_input);
  // Eight runs whose files differ in length, so that a mix of two shows.
  std::vector<std::vector<std::string>> args;
  std::set<std::string> texts;
  for (int k = 0; k < 8; ++k) {
    std::vector<std::string> numbers = example_numbers;
    numbers[10] = "1" + std::string(static_cast<size_t>(k), '0');
    timing_params params = example_params;
    params.or_ = std::stoi(numbers[10]);
    texts.insert(format_timing_cfg(params));
    args.push_back(with_file(numbers, "in.txt"));
  }
  write_file(dir / "timing.cfg", *texts.begin());
  // The test reads timing.cfg itself while the runs go on, not in a thread:
  // a child forked while another thread runs may hang before its exec (as
  // it does under qemu-user).
  int reads = 0;
  int torn = 0;
  std::string first_torn;
  for (int round = 0; round < 20; ++round) {
    std::vector<process> running;
    for (const std::vector<std::string>& a : args) {
      run_options options;
      options.stdout_path = "/dev/null";
      running.push_back(start(a, options));
    }
    // Looks at the runs without reaping them, so that finish() still can.
    const auto some_running = [&running] {
      for (const process& p : running) {
        siginfo_t info = {};
        if (waitid(P_PID, static_cast<id_t>(p.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == 0)
          return true;
      }
      return false;
    };
    do {
      ++reads;
      std::string text = read_file(dir / "timing.cfg");
      if (!texts.contains(text) && torn++ == 0) first_torn = std::move(text);
    } while (some_running());
    for (const process& p : running) {
      const run_result r = finish(p);
      EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_TRUE(texts.contains(read_file(dir / "timing.cfg"))) << round;
  }
  EXPECT_EQ(torn, 0) << "of " << reads << " reads; the first: \"" << first_torn << '"';
  EXPECT_EQ(files_in(dir), (std::set<std::string>{"in.txt", "timing.cfg"}));
}

TEST_F(kestrig_run, a_file_size_limit_is_a_write_error) {
  write_file(dir / "in.txt", example_input);
  write_file(dir / "timing.cfg", "old\n");
  // Too small for timing.cfg: the old file stays as it was.
  run_options options;
  options.stdout_path = "/dev/null";
  options.in_child = [] { limit_file_size(100); };
  run_result r = run_example("in.txt", options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, message("timing.cfg", EFBIG));
  EXPECT_EQ(read_file(dir / "timing.cfg"), "old\n");
  EXPECT_EQ(files_in(dir), (std::set<std::string>{"in.txt", "timing.cfg"}));

  // Too small for standard output: timing.cfg is written all the same.
  write_file(dir / "in.txt", plain_lines(100000));
  options.stdout_path = (dir / "out.txt").string();
  options.in_child = [] { limit_file_size(4096); };
  r = run_example("in.txt", options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, message("write error", EFBIG));
  EXPECT_EQ(fs::file_size(dir / "out.txt"), 4096U);
  EXPECT_EQ(read_file(dir / "timing.cfg"), format_timing_cfg(example_params));
}

TEST_F(kestrig_run, rewrites_an_input_over_4_gib) {
  // A sparse file of 4.5 GiB, which costs no disk: a line end every MiB,
  // keyword lines past 2 GiB and one across 4 GiB. Each is written with the
  // line end before it.
  constexpr off_t mib = off_t{1} << 20;
  constexpr off_t size = 4608 * mib;
  const std::pair<off_t, std::string> keyword_lines[] = {{2049 * mib, "RULES past 2 GiB\n"},
                                                         {2050 * mib, "PIPE:1\n"},
                                                         {3000 * mib, "TIM,old\n"},
                                                         {4096 * mib - 8, "PIPE:2 across 4 GiB\n"},
                                                         {size - 10, "last line\n"}};
  const int fd = open((dir / "big.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  for (off_t end = mib - 1; end < size; end += mib) ASSERT_EQ(pwrite(fd, "\n", 1, end), 1);
  for (const auto& [offset, line] : keyword_lines) {
    const std::string text = "\n" + line;
    ASSERT_EQ(pwrite(fd, text.data(), text.size(), offset - 1), static_cast<ssize_t>(text.size()));
  }
  close(fd);

  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  static_cast<void>(fcntl(fds[0], F_SETPIPE_SZ, 1 << 20));  // fewer switches, if allowed
  run_options options;
  options.stdout_fd = fds[1];
  const process p = start(with_file(example_numbers, "big.txt"), options);
  close(fds[1]);
  // Counts the output and keeps the lines that do not start with a NUL.
  uint64_t total = 0;
  std::vector<std::string> kept;
  bool line_start = true;
  bool keeping = false;
  std::vector<char> buffer(size_t{1} << 20);
  for (ssize_t n; (n = read(fds[0], buffer.data(), buffer.size())) > 0;) {
    total += static_cast<uint64_t>(n);
    for (const char *at = buffer.data(), *end = at + n; at < end;) {
      if (line_start && *at != '\0') kept.emplace_back();
      keeping = keeping || (line_start && *at != '\0');
      const void* newline = std::memchr(at, '\n', static_cast<size_t>(end - at));
      const char* next = newline == nullptr ? end : static_cast<const char*>(newline) + 1;
      if (keeping) kept.back().append(at, next);
      line_start = newline != nullptr;
      keeping = keeping && !line_start;
      at = next;
    }
  }
  close(fds[0]);
  const run_result r = finish(p);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::string master = "TIM,41,49,55,65,27,33,18,22,100,100,100,100\n";
  const std::string ordinary = "TIM,36,44,45,55,27,33,18,22,100,100,100,100\n";
  const std::string rules = "RULES past 2 GiB\n";
  EXPECT_EQ(kept, (std::vector<std::string>{master, rules, ordinary, rules, "last line\n"}));
  size_t removed = 0;  // every keyword line but the last, plain one
  for (size_t i = 0; i + 1 < std::size(keyword_lines); ++i)
    removed += keyword_lines[i].second.size();
  EXPECT_EQ(total, static_cast<uint64_t>(size) - removed + master.size() + ordinary.size() +
                       2 * rules.size());
}

TEST_F(kestrig_run, a_non_blocking_pipe_read_slowly_loses_nothing) {
  const std::string input = plain_lines(size_t{5} << 20);
  write_file(dir / "in.txt", input);
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
  run_options options;
  options.stdout_fd = fds[1];
  const process p = start(with_file(example_numbers, "in.txt"), options);
  close(fds[1]);
  std::string received;
  char buffer[65536];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
    received.append(buffer, static_cast<size_t>(n));
    usleep(500);
  }
  close(fds[0]);
  const run_result r = finish(p);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(received == input) << received.size() << " of " << input.size() << " bytes";
}

TEST_F(kestrig_run, a_closed_pipe_stops_the_output_after_timing_cfg) {
  std::string input;
  for (int i = 0; i < 50000; ++i) input += "PIPE:" + std::to_string(i) + "\nplain\n";
  write_file(dir / "in.txt", input);
  for (const bool ignored : {false, true}) {
    write_file(dir / "timing.cfg", "old\n");
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    close(fds[0]);
    run_options options;
    options.stdout_fd = fds[1];
    if (ignored) options.in_child = [] { static_cast<void>(std::signal(SIGPIPE, SIG_IGN)); };
    const run_result r = run_example("in.txt", options);
    close(fds[1]);
    // As usual, by the signal; asked to ignore it, as a write error.
    EXPECT_EQ(r.status, ignored ? 1 : 128 + SIGPIPE);
    EXPECT_EQ(r.err, ignored ? message("write error", EPIPE) : "");
    EXPECT_EQ(read_file(dir / "timing.cfg"), format_timing_cfg(example_params));
  }
}

TEST_F(kestrig_run, refuses_output_onto_its_own_files) {
  write_file(dir / "in.txt", example_input);
  // Appending to the input, or writing to timing.cfg in any way, would lose
  // the output; nothing is written then.
  for (const std::string target : {"in.txt", "timing.cfg"}) {
    for (const int flag : {O_APPEND, O_TRUNC}) {
      write_file(dir / "timing.cfg", "untouched");
      if (target == "in.txt" && flag == O_TRUNC) continue;  // an empty input: a normal run
      const int fd = open((dir / target).c_str(), O_WRONLY | flag | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      run_options options;
      options.stdout_fd = fd;
      const run_result r = run_example("in.txt", options);
      close(fd);
      EXPECT_EQ(r.status, 1) << target;
      EXPECT_EQ(r.err, target == "in.txt" ? "kestrig: in.txt: input file is output file\n"
                                          : "kestrig: timing.cfg: standard output is timing.cfg\n");
      EXPECT_EQ(read_file(dir / "in.txt"), example_input);
      EXPECT_EQ(read_file(dir / "timing.cfg"), flag == O_APPEND ? "untouched" : "");
    }
  }

  // With '>' the file is empty before the tool starts: an empty input.
  run_options options;
  options.stdout_path = (dir / "in.txt").string();
  EXPECT_EQ(run_example("in.txt", options).status, 0);
  EXPECT_EQ(read_file(dir / "in.txt"), "");
  EXPECT_EQ(read_file(dir / "timing.cfg"), format_timing_cfg(example_params));
}

TEST_F(kestrig_run, a_closed_standard_descriptor_stays_closed) {
  write_file(dir / "in.txt", example_input);
  // Closed standard output is a write error; closed input or error is harmless.
  for (const int closed : {0, 1, 2}) {
    fs::remove(dir / "timing.cfg");
    run_options options;
    options.in_child = [closed] { close(closed); };
    const run_result r = run_example("in.txt", options);
    EXPECT_EQ(r.status, closed == 1 ? 1 : 0) << closed;
    EXPECT_EQ(r.out, closed == 1 ? "" : example_output);
    EXPECT_EQ(r.err, closed == 1 ? message("write error", EBADF) : "");
    EXPECT_EQ(read_file(dir / "timing.cfg"), format_timing_cfg(example_params));
  }
}

TEST_F(kestrig_run, writes_timing_cfg_in_place_in_a_folder_it_may_not_write) {
  // As root the folder's mode binds nobody, so the tool runs as nobody then.
  const bool root = geteuid() == 0;
  const fs::path folder = dir / "locked";
  fs::create_directory(folder);
  write_file(folder / "in.txt", example_input);
  write_file(folder / "timing.cfg", "old\n");
  fs::permissions(folder / "timing.cfg", fs::perms(0666));
  run_options options;
  options.program = (dir / "kestrig").string();  // reachable whoever runs it
  fs::copy_file(KESTRIG_BINARY, options.program);
  fs::permissions(dir, fs::perms(0755));
  if (root) {
    for (const fs::path& path : {folder, folder / "in.txt", folder / "timing.cfg"})
      ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  }
  fs::permissions(folder, fs::perms(0555));
  options.in_child = [root] {
    if (chdir("locked") != 0) _exit(127);
    if (root && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(127);
  };
  const run_result r = run_example("in.txt", options);
  fs::permissions(folder, fs::perms(0755));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(folder / "timing.cfg"), format_timing_cfg(example_params));
  EXPECT_EQ(files_in(folder), (std::set<std::string>{"in.txt", "timing.cfg"}));
}

// Makes unlink(2) fail with EPERM from here on, through exec too, and with
// `renames` rename(2) with EACCES, as a share does that will not rename over
// a file another process holds open.
void refuse_calls(bool renames) {
  std::vector<sock_filter> filter{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
  const auto refuse = [&filter](uint32_t call, uint32_t error) {
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 1));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | error));
  };
  refuse(SYS_unlinkat, EPERM);
#ifdef SYS_unlink
  refuse(SYS_unlink, EPERM);
#endif
  if (renames) {
    refuse(SYS_renameat2, EACCES);
#ifdef SYS_renameat
    refuse(SYS_renameat, EACCES);
#endif
#ifdef SYS_rename
    refuse(SYS_rename, EACCES);
#endif
  }
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
    _exit(127);
}

TEST_F(kestrig_run, timing_cfg_planted_in_a_shared_folder_is_not_written_through) {
  if (geteuid() != 0) GTEST_SKIP() << "planting names as another user needs root";
  // The folder belongs to 1234 and group `team`; the runner is root or
  // `member`, who is in `team` as `mate` is; `other` (nobody) is not. The
  // runner's own file lies outside.
  constexpr uid_t owner = 1234;
  constexpr uid_t member = 1235;
  constexpr gid_t team = 1236;
  constexpr uid_t mate = 1237;
  constexpr uid_t other = 65534;
  enum kind : uint8_t {
    symbolic_link,  // to the runner's own file
    regular,
    fifo,
    hard_link,        // to the runner's own file
    to_planted_link,  // the runner's link to a planted link to its own file
    to_planted_file,  // the runner's link to a planted regular file
    foreign_group,    // the runner's file, of a group the runner may not give
    temporary_names,  // the runner's file; the names 1.0.0 would use, planted
    unlink_refused,   // the runner's file; the old one cannot be removed
    rename_refused,   // the runner's file; no rename, and the new one cannot be removed
    set_id            // the runner's file, set-user-ID and set-group-ID
  };
  // into_name: written in place; replaced: by a new file.
  enum outcome : uint8_t { refused, into_own_file, into_name, replaced, old_left, new_left };
  struct plant {
    uid_t runner;
    uid_t uid;  // of the name
    mode_t folder_mode;
    kind what;
    outcome expected;
  };
  // What needs no other runner is in the writer's own table.
  const plant plants[] = {{member, mate, 01775, symbolic_link, refused},
                          {member, mate, 01770, fifo, refused},
                          {member, mate, 01775, to_planted_link, refused},
                          {member, mate, 01775, to_planted_file, refused},
                          {member, owner, 01775, symbolic_link, into_own_file},
                          {member, member, 0775, foreign_group, into_name},
                          {member, member, 01777, temporary_names, replaced},
                          {member, member, 01775, unlink_refused, old_left},
                          {member, member, 01775, rename_refused, new_left},
                          {member, member, 0775, set_id, replaced}};
  write_file(dir / "in.txt", example_input);
  run_options options;
  options.program = (dir / "kestrig").string();  // reachable whoever runs it
  fs::copy_file(KESTRIG_BINARY, options.program);
  fs::permissions(dir, fs::perms(0755));
  const fs::path shared = dir / "shared";
  const fs::path cfg = shared / "timing.cfg";
  const fs::path next = shared / "next";
  const fs::path own = dir / "own";
  const std::string text = format_timing_cfg(example_params);
  for (const plant& p : plants) {
    const std::string which = std::to_string(&p - plants);
    const bool refusing = p.what == unlink_refused || p.what == rename_refused;
    if (refusing && !emulator_words().empty()) continue;  // no seccomp there
    write_file(own, "precious\n");
    fs::remove_all(shared);
    fs::create_directory(shared);
    ASSERT_TRUE(chown(own.c_str(), p.runner, p.runner) == 0 &&
                chown(shared.c_str(), owner, team) == 0 &&
                chmod(shared.c_str(), p.folder_mode) == 0);
    const bool own_link = p.what == to_planted_link || p.what == to_planted_file;
    const bool runners = p.what >= foreign_group;
    const fs::path planted = own_link ? next : cfg;
    if (p.what == symbolic_link || p.what == to_planted_link) fs::create_symlink(own, planted);
    if (p.what == regular || p.what == to_planted_file) write_file(planted, "planted\n");
    if (runners) write_file(planted, "old\n");
    if (p.what == hard_link) fs::create_hard_link(own, planted);
    ASSERT_TRUE((p.what != fifo || mkfifo(planted.c_str(), 0666) == 0) &&
                lchown(planted.c_str(), p.uid, p.what == foreign_group ? 4242 : p.uid) == 0 &&
                (fs::is_symlink(planted) || p.what == hard_link ||
                 chmod(planted.c_str(), p.what == set_id ? 06775
                                        : runners        ? 0644
                                                         : 0666) == 0));
    if (own_link) {
      fs::create_symlink("next", cfg);
      ASSERT_EQ(lchown(cfg.c_str(), p.runner, p.runner), 0);
    }
    struct stat before = {};
    ASSERT_EQ(lstat(cfg.c_str(), &before), 0);
    const int reader = p.what == fifo ? open(cfg.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    options.in_child = [&p, refusing] {
      if (chdir("shared") != 0) _exit(127);
      // The names 1.0.0 would take for this process, planted as links.
      for (int n = 0; p.what == temporary_names && n <= 100; ++n) {
        const std::string name =
            ".timing.cfg." + std::to_string(getpid()) + "." + std::to_string(n);
        if (symlink("../own", name.c_str()) != 0 || lchown(name.c_str(), other, other) != 0)
          _exit(127);
      }
      const gid_t groups[] = {team};
      if (p.runner != 0 &&
          (setgroups(1, groups) != 0 || setresgid(p.runner, p.runner, p.runner) != 0 ||
           setresuid(p.runner, p.runner, p.runner) != 0))
        _exit(127);
      if (refusing) refuse_calls(p.what == rename_refused);
    };
    const process started = start(with_file(example_numbers, "../in.txt"), options);
    const run_result r = finish(started);
    const bool left_behind = p.expected == old_left || p.expected == new_left;
    const bool fails = p.expected == refused || left_behind;
    std::string said;
    if (p.expected == refused)
      said = "kestrig: timing.cfg: Permission denied: " +
             std::string(own_link ? "next" : "timing.cfg") +
             " belongs to another user in a shared folder\n";
    if (left_behind) said = message("timing.cfg", p.expected == old_left ? EPERM : EACCES);
    EXPECT_EQ(r.status, fails ? 1 : 0) << which;
    EXPECT_EQ(r.out, example_output) << which;
    // The old file left behind is named: the message ends with its name.
    EXPECT_EQ(r.err.substr(0, said.size() - 1) + (said.empty() ? "" : "\n"), said) << which;
    EXPECT_EQ(read_file(own), p.expected == into_own_file ? text : "precious\n") << which;
    if (p.what == regular || p.what == hard_link || p.what == to_planted_file || runners) {
      std::string kept = p.expected == new_left ? "old\n" : text;
      if (p.expected == refused) kept = "planted\n";
      EXPECT_EQ(read_file(planted), kept) << which;
    }
    struct stat after = {};
    ASSERT_EQ(lstat(cfg.c_str(), &after), 0) << which;
    EXPECT_EQ(after.st_ino == before.st_ino, p.expected != replaced && p.expected != old_left)
        << which;
    if (reader >= 0) {
      char byte = 0;
      EXPECT_LE(read(reader, &byte, 1), 0) << which;  // sent nothing
      close(reader);
    }
    EXPECT_EQ(fs::is_symlink(cfg), p.what == symbolic_link || own_link) << which;
    std::set<std::string> left = files_in(shared);
    left.erase("timing.cfg");
    left.erase("next");
    for (int n = 0; p.what == temporary_names && n <= 100; ++n)
      EXPECT_EQ(left.erase(".timing.cfg." + std::to_string(started.pid) + "." + std::to_string(n)),
                1U);
    if (p.what == set_id) {
      EXPECT_EQ(after.st_mode & 07777, 06775U) << which;
    }
    if (left_behind && left.size() == 1) {
      const bool old = p.expected == old_left;
      EXPECT_TRUE(r.err.ends_with(std::string("; the ") + (old ? "old" : "new") +
                                  " file is left as " + *left.begin() + "\n"))
          << which;
      EXPECT_EQ(read_file(shared / *left.begin()), old ? "old\n" : text);  // told of
      EXPECT_EQ(left.begin()->size(), std::string(".timing.cfg.").size() + 16);
      left.clear();
    }
    EXPECT_EQ(left, std::set<std::string>{}) << which;
  }
}
