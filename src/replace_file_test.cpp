#include "replace_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct replace_file_test : ::testing::Test {
  fs::path dir;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrig_replace.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string path(const char* name) const { return (dir / name).string(); }

  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  static struct stat stat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
  }

  size_t entries() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
  }
};

}  // namespace

TEST_F(replace_file_test, replaces_a_regular_file_by_a_new_one_with_its_mode) {
  const std::string cfg = path("a.cfg");
  const mode_t old_umask = umask(027);
  EXPECT_EQ(replace_file(cfg.c_str(), "first\n"), 0);
  umask(old_umask);
  EXPECT_EQ(read(cfg), "first\n");
  EXPECT_EQ(stat_of(cfg).st_mode & 07777, 0640U);  // 0666 less the umask

  ASSERT_EQ(chmod(cfg.c_str(), 0604), 0);
  const ino_t before = stat_of(cfg).st_ino;
  EXPECT_EQ(replace_file(cfg.c_str(), "second, longer\n"), 0);
  EXPECT_EQ(read(cfg), "second, longer\n");
  EXPECT_EQ(stat_of(cfg).st_mode & 07777, 0604U);
  EXPECT_NE(stat_of(cfg).st_ino, before);  // a new file, renamed over the old
  EXPECT_EQ(entries(), 1U);
}

TEST_F(replace_file_test, writes_in_place_where_a_rename_would_change_the_file) {
  // A link stays a link, and its target gets the text.
  write(path("target"), "old target\n");
  fs::create_symlink("target", path("link.cfg"));
  EXPECT_EQ(replace_file(path("link.cfg").c_str(), "via link\n"), 0);
  EXPECT_TRUE(fs::is_symlink(path("link.cfg")));
  EXPECT_EQ(read(path("target")), "via link\n");

  // Both names of a file with two links see the new text.
  fs::create_hard_link(path("target"), path("twin.cfg"));
  EXPECT_EQ(replace_file(path("twin.cfg").c_str(), "shared\n"), 0);
  EXPECT_EQ(read(path("target")), "shared\n");

  // A FIFO with no reader is an error at once, never a hang.
  ASSERT_EQ(mkfifo(path("fifo.cfg").c_str(), 0644), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(replace_file(path("fifo.cfg").c_str(), "x\n"), ENXIO);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  fs::create_directory(path("dir.cfg"));
  EXPECT_EQ(replace_file(path("dir.cfg").c_str(), "x\n"), EISDIR);
  EXPECT_EQ(entries(), 5U);  // no temporary file left by any of them
}
