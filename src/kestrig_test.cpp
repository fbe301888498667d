// End-to-end tests: run the built binary in a fresh directory and check its
// standard output, standard error, exit status and timing.cfg.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
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

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct kestrig_run : ::testing::Test {
  fs::path dir;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrig_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }

  // Runs the tool in `dir` with `args`; standard output goes to `stdout_path`
  // when one is given, else it is captured.
  // A `memory_limit` caps the tool's address space (0: no cap).
  run_result run(const std::vector<std::string>& args, const std::string& stdout_path = "",
                 rlim_t memory_limit = 0) const {
    const fs::path out_path = stdout_path.empty() ? dir / ".stdout" : fs::path(stdout_path);
    const fs::path err_path = dir / ".stderr";
    const pid_t pid = fork();
    if (pid == 0) {
      std::vector<char*> argv;
      std::string program = KESTRIG_BINARY;
      argv.push_back(program.data());
      std::vector<std::string> copy = args;
      for (std::string& arg : copy) argv.push_back(arg.data());
      argv.push_back(nullptr);
      const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || err < 0 || chdir(dir.c_str()) != 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(127);
      const rlimit limit{memory_limit, memory_limit};
      if (memory_limit != 0 && setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
      execv(argv[0], argv.data());
      _exit(127);
    }
    run_result result;
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (stdout_path.empty()) result.out = read_file(out_path);
    result.err = read_file(err_path);
    fs::remove(dir / ".stdout");
    fs::remove(err_path);
    return result;
  }

  run_result run_example(const std::string& filename, const std::string& stdout_path = "") const {
    std::vector<std::string> args = example_numbers;
    args.push_back(filename);
    return run(args, stdout_path);
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
  EXPECT_EQ(r.err, "kestrig: /proc/self/mem: Input/output error\n");
  EXPECT_EQ(read_file(dir / "timing.cfg"), format_timing_cfg(example_params));
}

TEST_F(kestrig_run, reports_a_line_too_long_for_memory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#endif
#endif
  write_file(dir / "long.txt", "before\n" + std::string(size_t{96} << 20, 'x') + "\nafter\n");
  const run_result r =
      run({"50", "60", "5", "30", "3", "40", "45", "4", "20", "2", "100", "10", "long.txt"}, "",
          rlim_t{64} << 20);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "before\n");
  EXPECT_EQ(r.err, "kestrig: long.txt: Cannot allocate memory\n");
  EXPECT_EQ(read_file(dir / "timing.cfg"), format_timing_cfg(example_params));
}

TEST_F(kestrig_run, reports_a_write_error_on_standard_output) {
  std::string big;
  for (int i = 0; i < 100000; ++i) big += "line PIPE:" + std::to_string(i) + "\nplain\n";
  write_file(dir / "in.txt", big);
  for (const std::string& input : {example_input, big}) {
    write_file(dir / "in.txt", input);
    const run_result r = run_example("in.txt", "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kestrig: write error: No space left on device\n");
    EXPECT_EQ(read_file(dir / "timing.cfg"), format_timing_cfg(example_params));
  }
}

TEST_F(kestrig_run, reports_a_timing_cfg_that_cannot_be_written) {
  write_file(dir / "in.txt", example_input);
  fs::create_directory(dir / "timing.cfg");
  run_result r = run_example("in.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, example_output);
  EXPECT_EQ(r.err, "kestrig: timing.cfg: Is a directory\n");

  fs::remove(dir / "timing.cfg");
  fs::create_symlink("/dev/full", dir / "timing.cfg");
  r = run_example("in.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, example_output);
  EXPECT_EQ(r.err, "kestrig: timing.cfg: No space left on device\n");
}
