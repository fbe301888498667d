// The writer's rule, case by case, in a fresh folder: what is found at the
// name decides whether it is replaced, written in place, kept or refused,
// and whatever the way, the file keeps its mode, owner, group and extended
// attributes, and nothing is left beside it.
#include "replace_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr uid_t owner = 1234;   // owns the shared folder
constexpr uid_t other = 65534;  // anyone else
constexpr uid_t as_made = static_cast<uid_t>(-1);
constexpr time_t in_2001 = 1000000000;
constexpr time_t in_2040 = 2208988800;  // past what a 32-bit time holds
const std::string text = "new text\n";

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream read;
  read << in.rdbuf();
  return read.str();
}

// A file with `data`, `mode`, owner and group (-1: as made) and times.
void put(const char* path, const std::string& data, mode_t mode = 0644, uid_t uid = as_made,
         gid_t gid = as_made, time_t stamp = in_2001) {
  std::ofstream(path, std::ios::binary) << data;
  const timespec times[2] = {{stamp, 0}, {stamp, 0}};
  ASSERT_TRUE(lchown(path, uid, gid) == 0 && chmod(path, mode) == 0 &&
              utimensat(AT_FDCWD, path, times, 0) == 0)
      << path;
}

void link_to(const char* target, const char* path, uid_t uid = as_made) {
  ASSERT_TRUE(symlink(target, path) == 0 && lchown(path, uid, uid) == 0) << path;
}

void folder(const char* path, mode_t mode, uid_t uid = owner) {
  ASSERT_TRUE(mkdir(path, 0700) == 0 && chown(path, uid, uid) == 0 && chmod(path, mode) == 0);
}

// An access ACL of 0640 that shuts `other` out: user::rw-, user:other:---,
// group::r--, mask::r--, other::---.
std::string shutting_out_acl() {
  std::string acl("\x02\0\0\0", 4);
  const auto entry = [&acl](uint16_t tag, uint16_t perm, uint32_t id) {
    const char bytes[8] = {static_cast<char>(tag),      static_cast<char>(tag >> 8),
                           static_cast<char>(perm),     0,
                           static_cast<char>(id),       static_cast<char>(id >> 8),
                           static_cast<char>(id >> 16), static_cast<char>(id >> 24)};
    acl.append(bytes, 8);
  };
  entry(0x01, 6, UINT32_MAX);
  entry(0x02, 0, other);
  entry(0x04, 4, UINT32_MAX);
  entry(0x10, 4, UINT32_MAX);
  entry(0x20, 0, UINT32_MAX);
  return acl;
}

// An attribute, where the file system holds such (where not, the row
// checks only that nothing else changes).
void give(const char* path, const char* name, const std::string& value) {
  static_cast<void>(setxattr(path, name, value.data(), value.size(), 0));
}

// Every extended attribute of the file at `path`, by name.
std::map<std::string, std::string> attributes(const char* path) {
  std::map<std::string, std::string> found;
  char names[4096];
  const ssize_t n = listxattr(path, names, sizeof names);
  for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    char value[4096];
    const ssize_t size = getxattr(path, names + at, value, sizeof value);
    found[names + at] = std::string(value, size > 0 ? static_cast<size_t>(size) : 0);
  }
  return found;
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir))
    names.insert(entry.path().lexically_relative(dir).string());
  return names;
}

// replaced: by a new file; in_place: written through the old one; kept:
// untouched but for its times; failed: nothing changed.
enum outcome : uint8_t { replaced, in_place, kept, failed };

// NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): fields in the order a row reads
struct row {
  const char* what;
  bool needs_root;  // to give names to other users
  void (*make)();   // sets up the current folder
  int error;
  outcome expected;
  const char* path = "timing.cfg";  // what the writer is given
  const char* lands = nullptr;      // where the text ends up, if not there
  const char* refused = "";         // the name the rule refused
};

const row rows[] = {
    {"nothing there: made as creating it would", false, [] {}, 0, replaced},
    {"a file: replaced, its mode kept", false, [] { put("timing.cfg", "old\n", 0604); }, 0,
     replaced},
    {"its set-id bits kept, given after the write", false,
     [] { put("timing.cfg", "old\n", 06775); }, 0, replaced},
    {"a group the new file is not born with", true,
     [] { put("timing.cfg", "old\n", 0604, 0, other); }, 0, replaced},
    {"its access ACL kept", false,
     [] {
       put("timing.cfg", "old\n", 0640);
       give("timing.cfg", "system.posix_acl_access", shutting_out_acl());
     },
     0, replaced},
    {"a user attribute kept", false,
     [] {
       put("timing.cfg", "old\n");
       give("timing.cfg", "user.note", "kept");
     },
     0, replaced},
    {"another user's file: in place, as a new one would be this user's", true,
     [] { put("timing.cfg", "old\n", 0666, other, other); }, 0, in_place},
    {"the same text: kept, times set", false, [] { put("timing.cfg", text, 0640); }, 0, kept},
    {"the same text, read-only, past 2038: kept", false,
     [] { put("timing.cfg", text, 0444, as_made, as_made, in_2040); }, 0, kept},
    {"one byte changed: replaced", false, [] { put("timing.cfg", "new texT\n", 0444); }, 0,
     replaced},
    {"one byte more: replaced", false, [] { put("timing.cfg", text + "x"); }, 0, replaced},
    {"the same text under two names: written through", false,
     [] {
       put("target", text);
       ASSERT_EQ(link("target", "timing.cfg"), 0);
     },
     0, in_place},
    {"a symbolic link stays one; its target is written", false,
     [] {
       put("target", "old\n");
       link_to("target", "timing.cfg");
     },
     0, replaced, "timing.cfg", "target"},
    {"a link through a folder to a file", false,
     [] {
       folder("sub", 0755, getuid());
       put("sub/target", "old\n");
       link_to("./sub/../sub//target", "timing.cfg");
     },
     0, replaced, "timing.cfg", "sub/target"},
    {"a file with two names: written through both", false,
     [] {
       put("target", "old\n");
       ASSERT_EQ(link("target", "timing.cfg"), 0);
     },
     0, in_place},
    {"a FIFO nobody reads: an error, not a hang", false,
     [] { ASSERT_EQ(mkfifo("timing.cfg", 0644), 0); }, ENXIO, failed},
    {"a folder", false, [] { folder("timing.cfg", 0755, getuid()); }, EISDIR, failed},
    {"a full device", false, [] { link_to("/dev/full", "timing.cfg"); }, ENOSPC, failed},
    {"a link into a folder that is missing", false,
     [] { link_to("gone/timing.cfg", "timing.cfg"); }, ENOENT, failed},
    {"links in a loop", false, [] { link_to("timing.cfg", "timing.cfg"); }, ELOOP, failed},
    // The shared-folder rule, for the runner (root here) against `other`.
    {"another user's link in a shared folder", true,
     [] {
       folder("shared", 01777);
       put("own", "precious\n");
       link_to("../own", "shared/timing.cfg", other);
     },
     EACCES, failed, "shared/timing.cfg", "own", "shared/timing.cfg"},
    {"another user's file there", true,
     [] {
       folder("shared", 01777);
       put("shared/timing.cfg", "planted\n", 0666, other, other);
     },
     EACCES, failed, "shared/timing.cfg", nullptr, "shared/timing.cfg"},
    {"another user's file in a team's folder", true,
     [] {
       folder("shared", 01775);
       put("shared/timing.cfg", "planted\n", 0666, other, other);
     },
     EACCES, failed, "shared/timing.cfg", nullptr, "shared/timing.cfg"},
    {"another user's FIFO there", true,
     [] {
       folder("shared", 01777);
       ASSERT_TRUE(mkfifo("shared/timing.cfg", 0666) == 0 &&
                   chown("shared/timing.cfg", other, other) == 0);
     },
     EACCES, failed, "shared/timing.cfg", nullptr, "shared/timing.cfg"},
    {"another user's folder on a link's way", true,
     [] {
       folder("shared", 01777);
       folder("shared/out", 0755, other);
       put("own", "precious\n");
       link_to("../../own", "shared/out/timing.cfg", other);
       link_to("shared/out/timing.cfg", "timing.cfg");
     },
     EACCES, failed, "timing.cfg", "own", "shared/out"},
    {"the runner's file with two names there: replaced", true,
     [] {
       folder("shared", 01777);
       put("own", "precious\n");
       ASSERT_EQ(link("own", "shared/timing.cfg"), 0);
     },
     0, replaced, "shared/timing.cfg"},
    {"the runner's own link there", true,
     [] {
       folder("shared", 01777);
       put("own", "old\n");
       link_to("../own", "shared/timing.cfg");
     },
     0, replaced, "shared/timing.cfg", "own"},
    {"the folder owner's link and folder there", true,
     [] {
       folder("shared", 01777);
       folder("shared/out", 0755, owner);
       put("own", "old\n");
       link_to("../../own", "shared/out/timing.cfg", owner);
     },
     0, replaced, "shared/out/timing.cfg", "own"},
    // Without the sticky bit others own every name anyway: not guarded.
    {"another user's link, no sticky bit", true,
     [] {
       folder("shared", 0775);
       put("own", "old\n");
       link_to("../own", "shared/timing.cfg", other);
     },
     0, replaced, "shared/timing.cfg", "own"},
    {"another user's file, no sticky bit", true,
     [] {
       folder("shared", 0777);
       put("shared/timing.cfg", "old\n", 0666, other, other);
     },
     0, in_place, "shared/timing.cfg"},
    {"a file with two names, no sticky bit", true,
     [] {
       folder("shared", 0777);
       put("own", "old\n");
       ASSERT_EQ(link("own", "shared/timing.cfg"), 0);
     },
     0, in_place, "shared/timing.cfg", "own"},
};

// Sets up `r` in the current folder, `dir`, replaces its file and checks
// what became of it.
void check(const row& r, const fs::path& dir) {
  r.make();
  if (::testing::Test::HasFatalFailure()) return;
  const char* lands = r.lands != nullptr ? r.lands : r.path;
  struct stat name_before = {};
  struct stat before = {};
  const bool existed = lstat(r.path, &name_before) == 0;
  stat(lands, &before);
  const std::string old_text = S_ISREG(before.st_mode) ? contents(lands) : "";
  const std::map<std::string, std::string> old_attributes = attributes(lands);
  const std::set<std::string> names = names_in(dir);

  const time_t start = time(nullptr);
  const mode_t was_umask = umask(027);
  const replace_result result = replace_file(r.path, text);
  umask(was_umask);
  char said[PATH_MAX + 256];
  failure_text(result, said, sizeof said);
  EXPECT_EQ(result.error, r.error) << said;
  EXPECT_STREQ(result.refused, r.refused);
  EXPECT_STREQ(result.left, "");
  std::set<std::string> now = names_in(dir);
  now.erase(r.path);
  std::set<std::string> expected = names;
  expected.erase(r.path);
  EXPECT_EQ(now, expected);  // nothing left beside it, nothing gone
  if (r.expected == failed) {
    if (S_ISREG(before.st_mode)) {
      EXPECT_EQ(contents(lands), old_text);
    }
    return;
  }
  struct stat name_after = {};
  struct stat after = {};
  ASSERT_TRUE(lstat(r.path, &name_after) == 0 && stat(lands, &after) == 0);
  EXPECT_EQ(contents(lands), text);
  EXPECT_EQ(name_after.st_mode & S_IFMT, existed ? name_before.st_mode & S_IFMT : S_IFREG);
  EXPECT_EQ(after.st_ino == before.st_ino, existed && r.expected != replaced);
  EXPECT_GE(after.st_mtim.tv_sec + 1, start);  // a file's clock may be a tick behind
  if (!existed) {
    EXPECT_EQ(after.st_mode & 07777, 0640U);  // 0666 less the umask
    return;
  }
  EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(attributes(lands), old_attributes);
}

}  // namespace

TEST(replace_file_rule, keeps_what_the_file_is) {
  const fs::path was = fs::current_path();
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    if (r.needs_root && geteuid() != 0) continue;  // giving names to others needs root
    std::string pattern = (fs::temp_directory_path() / "replace_file_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    fs::current_path(pattern);
    check(r, pattern);
    fs::current_path(was);
    fs::remove_all(pattern);
  }
}
