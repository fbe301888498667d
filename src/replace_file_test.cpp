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
constexpr time_t in_2001 = 1000000000;
constexpr time_t in_2040 = 2208988800;  // past what a 32-bit time holds
const std::string text = "new text\n";

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream read;
  read << in.rdbuf();
  return read.str();
}

// A file with `data`, `mode`, owner and group and times.
void put(const char* path, const std::string& data, mode_t mode, uid_t uid, gid_t gid,
         time_t stamp) {
  std::ofstream(path, std::ios::binary) << data;
  const timespec times[2] = {{stamp, 0}, {stamp, 0}};
  ASSERT_TRUE(lchown(path, uid, gid) == 0 && chmod(path, mode) == 0 &&
              utimensat(AT_FDCWD, path, times, 0) == 0)
      << path;
}

// An access ACL of 0640 that shuts `other` out, as the system keeps it: a
// version, then tag, permissions and id of user::rw-, user:65534:---,
// group::r--, mask::r-- and other::---.
const std::string shutting_out_acl(
    "\x02\0\0\0"
    "\x01\0\x06\0\xff\xff\xff\xff"
    "\x02\0\0\0\xfe\xff\0\0"
    "\x04\0\x04\0\xff\xff\xff\xff"
    "\x10\0\x04\0\xff\xff\xff\xff"
    "\x20\0\0\0\xff\xff\xff\xff",
    44);

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

// What the name is, beside `own`, a file of the runner's holding "old".
enum kind : uint8_t {
  nothing,
  nothing_by_default_acl,  // nor there, in a folder whose default ACL gives 0664
  file,                    // holding "old"
  same_text,               // holding the new text already
  same_past_2038,          // the same, read-only, stamped past what 32-bit time holds
  same_size,               // the new text but one byte
  one_byte_more,           // the new text and one byte
  with_acl,                // holding "old", with an access ACL shutting `other` out
  with_attribute,          // holding "old", with a user attribute
  under_default_acl,       // holding "old", in a folder whose default ACL it does not have
  hard_link,               // a second name of `own`
  same_hard_link,          // the same, `own` holding the new text already
  link_to_own,             // a symbolic link to `own`
  linked_link,             // such a link of the runner's, with a second name
  link_with_slash,         // to `own` followed by a slash
  link_too_long,           // to a name too long for a new file's beside it
  link_via_folders,        // the same, through a folder and back
  fifo,
  folder,
  link_to_full,     // to /dev/full
  link_to_missing,  // into a folder that is not there
  link_loop,
  planted_folder  // the runner's link through shared/out, a folder of `uid`
};

// NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): fields in the order a row reads
struct row {
  const char* what;
  kind at_name;
  mode_t shared;  // the name lies in a folder of `owner` of this mode; 0: the test's own
  uid_t uid;      // of the name
  gid_t gid;
  mode_t mode;  // of a file
  int error;
  outcome expected;
  const char* refused = "";
};

constexpr uid_t runner = static_cast<uid_t>(-1);  // as made: the runner's
const row rows[] = {
    {"nothing there: made as creating it would", nothing, 0, runner, runner, 0, 0, replaced},
    {"the same, by the folder's default ACL", nothing_by_default_acl, 0, runner, runner, 0, 0,
     replaced},
    {"a file, its mode kept", file, 0, runner, runner, 0604, 0, replaced},
    {"set-id bits given after the write", file, 0, runner, runner, 06775, 0, replaced},
    {"a group the new file is not born with", file, 0, runner, other, 0604, 0, replaced},
    {"its access ACL", with_acl, 0, runner, runner, 0640, 0, replaced},
    {"a user attribute", with_attribute, 0, runner, runner, 0644, 0, replaced},
    {"no ACL, whatever the folder's default", under_default_acl, 0, runner, runner, 0640, 0,
     replaced},
    {"another user's: a new one would be the runner's", file, 0, other, other, 0666, 0, in_place},
    {"the same text: kept, times set", same_text, 0, runner, runner, 0640, 0, kept},
    {"the same, read-only, past 2038", same_past_2038, 0, runner, runner, 0444, 0, kept},
    {"one byte changed", same_size, 0, runner, runner, 0444, 0, replaced},
    {"one byte more", one_byte_more, 0, runner, runner, 0644, 0, replaced},
    {"the same text under two names", same_hard_link, 0, runner, runner, 0, 0, in_place},
    {"two names: written through both", hard_link, 0, runner, runner, 0, 0, in_place},
    {"a symbolic link stays one", link_to_own, 0, runner, runner, 0, 0, replaced},
    {"a link through a folder and back", link_via_folders, 0, runner, runner, 0, 0, replaced},
    {"no new name fits beside it: made in place", link_too_long, 0, runner, runner, 0, 0, replaced},
    {"a link to a file, with a slash", link_with_slash, 0, runner, runner, 0, ENOTDIR, failed},
    {"a FIFO nobody reads: not a hang", fifo, 0, runner, runner, 0644, ENXIO, failed},
    {"a folder", folder, 0, runner, runner, 0755, EISDIR, failed},
    {"a full device", link_to_full, 0, runner, runner, 0, ENOSPC, failed},
    {"a link into a folder that is missing", link_to_missing, 0, runner, runner, 0, ENOENT, failed},
    {"links in a loop", link_loop, 0, runner, runner, 0, ELOOP, failed},
    // The shared-folder rule, for the runner (root here) against `other`.
    {"another user's link", link_to_own, 01777, other, other, 0, EACCES, failed,
     "shared/timing.cfg"},
    {"another user's file", file, 01777, other, other, 0666, EACCES, failed, "shared/timing.cfg"},
    {"another user's file, a team's folder", file, 01775, other, other, 0666, EACCES, failed,
     "shared/timing.cfg"},
    {"another user's FIFO", fifo, 01777, other, other, 0666, EACCES, failed, "shared/timing.cfg"},
    {"another user's folder on a link's way", planted_folder, 01777, other, other, 0, EACCES,
     failed, "shared/out"},
    {"the runner's file with two names: replaced", hard_link, 01777, runner, runner, 0, 0,
     replaced},
    {"the runner's link", link_to_own, 01777, runner, runner, 0, 0, replaced},
    {"the runner's link, with a second name", linked_link, 01777, runner, runner, 0, EACCES, failed,
     "shared/timing.cfg"},
    {"the folder owner's folder and link", planted_folder, 01777, owner, owner, 0, 0, replaced},
    // Without the sticky bit others own every name anyway: not guarded.
    {"another user's link, no sticky bit", link_to_own, 0775, other, other, 0, 0, replaced},
    {"another user's file, no sticky bit", file, 0777, other, other, 0666, 0, in_place},
    {"two names, no sticky bit", hard_link, 0777, runner, runner, 0, 0, in_place},
};

// The text an old file of kind `k` holds.
std::string old_text(kind k) {
  switch (k) {
    case same_text:
    case same_past_2038:
      return text;
    case same_size:
      return "new texT\n";
    case one_byte_more:
      return text + "x";
    default:
      return "old\n";
  }
}

// What a link of kind `k` leads to; `up` leads from its folder to `own`'s.
std::string link_target(kind k, const std::string& up) {
  switch (k) {
    case link_to_own:
      return up + "own";
    case link_via_folders:
      return "./sub/..//own";
    case link_to_full:
      return "/dev/full";
    case link_to_missing:
      return "gone/timing.cfg";
    case link_with_slash:
      return "own/";
    case link_too_long:
      return std::string(250, 'n');
    default:
      return "timing.cfg";  // itself: a loop
  }
}

// Makes what `r` says in the current folder; the name to write, and where
// its text lands.
void make(const row& r, std::string& path, std::string& lands) {
  const std::string at = r.shared != 0 ? "shared/" : "";
  path = r.at_name == planted_folder ? "timing.cfg" : at + "timing.cfg";
  const bool to_own =
      r.at_name == link_to_own || r.at_name == link_via_folders || r.at_name == planted_folder;
  lands = path;
  if (to_own || r.at_name == link_too_long) lands = to_own ? "own" : link_target(link_too_long, "");
  const std::string up = r.shared != 0 ? "../" : "";
  put("own", r.at_name == same_hard_link ? text : "old\n", 0644, runner, runner, in_2001);
  if (r.shared != 0) {
    ASSERT_TRUE(mkdir("shared", 0700) == 0 && chown("shared", owner, owner) == 0 &&
                chmod("shared", r.shared) == 0);
  }
  const char* name = path.c_str();
  const std::string old = old_text(r.at_name);
  switch (r.at_name) {
    case nothing:
      return;
    case nothing_by_default_acl:
      // user::rw-, group::rw-, other::r--: no umask then.
      static_cast<void>(
          setxattr(".", "system.posix_acl_default",
                   "\x02\0\0\0\x01\0\x06\0\xff\xff\xff\xff\x04\0\x06\0\xff\xff\xff\xff"
                   "\x20\0\x04\0\xff\xff\xff\xff",
                   28, 0));
      return;
    case with_acl:
    case with_attribute:
    case under_default_acl:
      put(name, old, r.mode, r.uid, r.gid, in_2001);
      if (r.at_name == under_default_acl) {
        static_cast<void>(setxattr(".", "system.posix_acl_default", shutting_out_acl.data(),
                                   shutting_out_acl.size(), 0));
        return;
      }
      // Where the file system holds no such attribute, only the rest is checked.
      static_cast<void>(r.at_name == with_acl
                            ? setxattr(name, "system.posix_acl_access", shutting_out_acl.data(),
                                       shutting_out_acl.size(), 0)
                            : setxattr(name, "user.note", "kept", 4, 0));
      return;
    case file:
    case same_text:
    case same_size:
    case one_byte_more:
    case same_past_2038:
      put(name, old, r.mode, r.uid, r.gid, r.at_name == same_past_2038 ? in_2040 : in_2001);
      return;
    case hard_link:
    case same_hard_link:
      ASSERT_EQ(link("own", name), 0);
      return;
    case linked_link:
      ASSERT_TRUE(symlink("own", "own_link") == 0 && link("own_link", name) == 0);
      return;
    case fifo:
      ASSERT_EQ(mkfifo(name, r.mode), 0);
      break;
    case folder:
      ASSERT_EQ(mkdir(name, r.mode), 0);
      break;
    case planted_folder:
      ASSERT_TRUE(mkdir("shared/out", 0755) == 0 && chown("shared/out", r.uid, r.gid) == 0);
      ASSERT_TRUE(symlink("../../own", "shared/out/timing.cfg") == 0 &&
                  lchown("shared/out/timing.cfg", r.uid, r.gid) == 0 &&
                  symlink("shared/out/timing.cfg", name) == 0);
      return;
    default:
      ASSERT_TRUE(r.at_name != link_via_folders || mkdir("sub", 0755) == 0);
      ASSERT_EQ(symlink(link_target(r.at_name, up).c_str(), name), 0);
  }
  ASSERT_EQ(lchown(name, r.uid, r.gid), 0);
}

// Sets up `r` in the current folder, `dir`, replaces its file and checks
// what became of it.
void check(const row& r, const fs::path& dir, mode_t created) {
  std::string path;
  std::string lands;
  make(r, path, lands);
  if (::testing::Test::HasFatalFailure()) return;
  struct stat name_before = {};
  struct stat before = {};
  static_cast<void>(lstat(path.c_str(), &name_before));
  const bool existed = stat(lands.c_str(), &before) == 0;
  const std::string old_text = S_ISREG(before.st_mode) ? contents(lands) : "";
  const std::map<std::string, std::string> old_attributes = attributes(lands.c_str());
  const std::set<std::string> names = names_in(dir);

  const time_t start = time(nullptr);
  const mode_t was_umask = umask(027);
  const replace_result result = replace_file(path.c_str(), text);
  umask(was_umask);
  char said[PATH_MAX + 256];
  failure_text(result, said, sizeof said);
  EXPECT_EQ(result.error, r.error) << said;
  EXPECT_STREQ(result.why != nullptr ? result.name : "", r.refused);
  EXPECT_FALSE(result.left_is_named);
  std::set<std::string> now = names_in(dir);
  now.erase(path);
  now.erase(lands);
  std::set<std::string> expected = names;
  expected.erase(path);
  expected.erase(lands);
  EXPECT_EQ(now, expected);  // nothing left beside it, nothing gone
  // `own` gets the text only through a link to it, or a name of it written through.
  const bool into_own = r.expected != failed &&
                        (lands == "own" || (r.expected == in_place && name_before.st_nlink > 1));
  EXPECT_EQ(contents("own"), into_own || r.at_name == same_hard_link ? text : "old\n");
  if (r.expected == failed) {
    EXPECT_EQ(S_ISREG(before.st_mode) ? contents(lands) : "", old_text);
    return;
  }
  struct stat name_after = {};
  struct stat after = {};
  ASSERT_TRUE(lstat(path.c_str(), &name_after) == 0 && stat(lands.c_str(), &after) == 0);
  EXPECT_EQ(contents(lands), text);
  EXPECT_EQ(name_after.st_mode & S_IFMT,
            name_before.st_mode != 0 ? name_before.st_mode & S_IFMT : S_IFREG);
  EXPECT_EQ(after.st_ino == before.st_ino, existed && r.expected != replaced);
  EXPECT_GE(after.st_mtim.tv_sec + 1, start);  // a file's clock may be a tick behind
  if (!existed) {
    const bool by_acl = getxattr(".", "system.posix_acl_default", nullptr, 0) > 0;
    EXPECT_EQ(after.st_mode & 07777, by_acl ? 0664 : created);
    return;
  }
  EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(attributes(lands.c_str()), old_attributes);
}

}  // namespace

TEST(replace_file_rule, keeps_what_the_file_is) {
  const fs::path was = fs::current_path();
  // What the file system lets the rows make: names of other users (as root,
  // but not where the server maps root to nobody), and the mode a plain
  // create gives, with the umask the writer runs under.
  const fs::path probe =
      fs::temp_directory_path() / ("replace_file_test." + std::to_string(getpid()));
  const mode_t was_umask = umask(027);
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  umask(was_umask);
  struct stat created = {};
  ASSERT_TRUE(fd >= 0 && fstat(fd, &created) == 0 && close(fd) == 0);
  const bool give_away = chown(probe.c_str(), owner, owner) == 0;
  fs::remove(probe);
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    const bool others = r.shared != 0 || r.uid != runner || r.gid != runner;
    if (others && !give_away) continue;
    std::string pattern = (fs::temp_directory_path() / "replace_file_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    fs::current_path(pattern);
    check(r, pattern, created.st_mode & 07777);
    fs::current_path(was);
    fs::remove_all(pattern);
  }
}
