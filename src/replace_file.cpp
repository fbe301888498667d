#include "replace_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "byte_stream.hpp"

namespace {

// Writes all of `text` and closes `fd`; the first error, or 0.
int write_and_close(int fd, std::string_view text) {
  byte_sink file;
  file.fd = fd;
  sink_write(file, text.data(), text.size());
  if (close(fd) != 0 && file.error == 0 && errno != EINTR) file.error = errno;
  return file.error;
}

// How much of `path` names its folder: up to and with its last slash.
int folder_length(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? 0 : static_cast<int>(slash + 1 - path);
}

// Looks at the folder that holds `path`; 0 or the errno.
int stat_folder(const char* path, struct stat& folder) {
  char name[4096];
  const int n = std::snprintf(name, sizeof name, "%.*s.", folder_length(path), path);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof name) return ENAMETOOLONG;
  return stat(name, &folder) == 0 ? 0 : errno;
}

// A folder with the sticky bit that its group or others may write to, such
// as /tmp: users there may plant names for each other.
bool shared_folder(const struct stat& folder) {
  return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Whether the tool may open `file`, found in `folder`, and write through it.
// In a shared folder a name that another user controls could point the
// write at any file the runner may change, or hand its contents to a
// reader, so only links, FIFOs and regular files of the runner's or the
// folder owner's are trusted there, as careful kernels have it; the group
// counts as much as others, since any member may plant a name. A regular
// file with another name may have been linked there by anyone, so it is
// never written through: one of the runner's is replaced instead.
bool may_write_through(const struct stat& folder, const struct stat& file) {
  if (!shared_folder(folder)) return true;
  const bool trusted = file.st_uid == geteuid() || file.st_uid == folder.st_uid;
  if (S_ISLNK(file.st_mode) || S_ISFIFO(file.st_mode)) return trusted;
  if (S_ISREG(file.st_mode)) return trusted && file.st_nlink == 1;
  return true;
}

// Where the symbolic link `link` leads, one step: its text, taken beside
// the link when relative. 0 or the errno.
int link_target(const char* link, char (&target)[4096]) {
  char text[4096];
  const ssize_t n = readlink(link, text, sizeof text);
  if (n < 0) return errno;
  const int folder = text[0] == '/' ? 0 : folder_length(link);
  const int size =
      std::snprintf(target, sizeof target, "%.*s%.*s", folder, link, static_cast<int>(n), text);
  return n < static_cast<ssize_t>(sizeof text) && size > 0 &&
                 static_cast<size_t>(size) < sizeof target
             ? 0
             : ENAMETOOLONG;
}

// Follows the link `name`, which lstat found as `seen` in `folder`, to the
// last name of its chain, and judges each link on the way in its own folder
// as any name is judged: a link that the runner's own leads to may be
// anyone's, in a shared folder too. (Links among the folders of a path are
// left to the kernel.) Then `name` holds that last name,
// `folder` its folder and `seen` what lstat found there (mode 0: nothing).
// Anything else is left as it is. 0 or the errno.
int follow_links(char (&name)[4096], struct stat& folder, struct stat& seen) {
  for (int hops = 0; S_ISLNK(seen.st_mode); ++hops) {
    if (hops == 40) return ELOOP;  // as the kernel counts
    if (!may_write_through(folder, seen)) return EACCES;
    char next[4096];
    if (const int error = link_target(name, next); error != 0) return error;
    std::memcpy(name, next, sizeof name);
    if (const int error = stat_folder(name, folder); error != 0) return error;
    if (lstat(name, &seen) != 0) {
      if (errno != ENOENT) return errno;
      seen = {};
    }
  }
  return 0;
}

// Opens `path`, which lstat found as `*seen` (null: found nothing), and
// writes `text` into whatever it is. A link is followed by the tool itself,
// link by link, so that each is judged; the last name is judged before it
// is opened and again on what the open reached, which never follows a link,
// so that a name swapped in meanwhile gains nobody anything.
int write_in_place(const char* path, std::string_view text, struct stat folder,
                   const struct stat* seen) {
  char name[4096];
  const int n = std::snprintf(name, sizeof name, "%s", path);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof name) return ENAMETOOLONG;
  struct stat found = {};
  if (seen != nullptr) found = *seen;
  if (const int error = follow_links(name, folder, found); error != 0) return error;
  if (found.st_mode != 0 && !may_write_through(folder, found)) return EACCES;
  const int fd = open_file(name, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW, 0666);
  if (fd < 0) return errno;
  struct stat opened = {};
  int error = fstat(fd, &opened) == 0 ? 0 : errno;
  if (error == 0 && !may_write_through(folder, opened)) error = EACCES;
  // Truncated only now that it is known what it is.
  if (error == 0 && S_ISREG(opened.st_mode) && ftruncate(fd, 0) != 0) error = errno;
  if (error != 0) {
    close(fd);
    return error;
  }
  return write_and_close(fd, text);
}

// A name beside `path` for the new file: ".NAME." and 16 hexadecimal digits
// of a random number, in the same folder, so that the rename stays within
// one file system. Hidden, as it lives only for the moment of the write;
// random, so that nobody can take it in advance. 0, ENAMETOOLONG when it
// does not fit, or the errno of a failed getrandom(2).
int temporary_name(char (&name)[4096], const char* path) {
  uint64_t random = 0;
  if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
    return errno != 0 ? errno : EAGAIN;
  const int folder = folder_length(path);
  const int n = std::snprintf(name, sizeof name, "%.*s.%s.%016llx", folder, path, path + folder,
                              static_cast<unsigned long long>(random));
  return n > 0 && static_cast<size_t>(n) < sizeof name ? 0 : ENAMETOOLONG;
}

// Puts the file `from` in the place of `to`, atomically, and removes `from`
// if that fails. An existing `to` is swapped out and removed where the
// system can swap two names: renaming over a file makes some file systems
// (ext4) start writing the new one out at once, which costs more than the
// rest of a short run together.
int move_over(const char* from, const char* to, bool exists) {
#ifdef RENAME_EXCHANGE
  if (exists && renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0) {
    // `from` is now the old file: one that stays is told, not left unsaid.
    return unlink(from) == 0 ? 0 : errno;
  }
#else
  static_cast<void>(exists);
#endif
  // No swap here, or `to` has gone meanwhile, or the file system has none.
  if (rename(from, to) == 0) return 0;
  const int error = errno;
  unlink(from);
  return error;
}

// True when the open file `fd` holds exactly `text`. Reads at most one byte
// more than the text, however long the file.
bool holds_exactly(int fd, std::string_view text) {
  byte_source file;
  file.fd = fd;
  char buffer[4096];
  for (;;) {
    const size_t n = source_read(file, buffer, std::min(sizeof buffer, text.size() + 1));
    if (n == 0) return file.error == 0 && text.empty();
    if (n > text.size() || std::memcmp(buffer, text.data(), n) != 0) return false;
    text.remove_prefix(n);
  }
}

// Where `path`, found by lstat as `old`, already holds exactly `text`,
// replacing it would change nothing but its inode, at the cost of a new file
// and the old one's removal: leave it be and only mark it as written now.
// True when that was done.
bool keep_if_same(const char* path, const struct stat& old, std::string_view text) {
  if (old.st_size != static_cast<off_t>(text.size())) return false;
  const int fd = open_file(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat opened = {};
  // Only the file that was looked at, should the name have moved meanwhile.
  const bool kept = fstat(fd, &opened) == 0 && opened.st_dev == old.st_dev &&
                    opened.st_ino == old.st_ino && holds_exactly(fd, text) &&
                    futimens(fd, nullptr) == 0;
  close(fd);
  return kept;
}

}  // namespace

int replace_file(const char* path, std::string_view text) {
  struct stat folder = {};
  if (const int error = stat_folder(path, folder); error != 0) return error;
  struct stat old = {};
  const bool exists = lstat(path, &old) == 0;
  if (!exists && errno != ENOENT) return write_in_place(path, text, folder, nullptr);
  const struct stat* seen = exists ? &old : nullptr;
  // A file of the runner's with other names is written through them all,
  // except in a shared folder, where the other names may be anyone's.
  if (exists && (!S_ISREG(old.st_mode) || old.st_uid != geteuid() ||
                 (old.st_nlink > 1 && !shared_folder(folder))))
    return write_in_place(path, text, folder, seen);
  // Not one with other names, which may have been linked there by anyone.
  if (exists && old.st_nlink == 1 && keep_if_same(path, old, text)) return 0;

  char name[4096];
  int fd = -1;
  // 64 random bits a name: a planter would need a good share of 2^64 names
  // to take even one try, far more than any folder holds. Should eight in
  // a row be taken all the same, or no random number be had, the file is
  // written in place.
  for (int attempt = 0; fd < 0; ++attempt) {
    const int error = attempt < 8 ? temporary_name(name, path) : EEXIST;
    if (error == ENAMETOOLONG) return error;
    if (error != 0) return write_in_place(path, text, folder, seen);
    // Exclusive: never through a name that exists, a planted link included.
    fd = open_file(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (fd >= 0 || errno == EEXIST) continue;
    if (errno == EACCES || errno == EPERM) return write_in_place(path, text, folder, seen);
    return errno;
  }

  int error = 0;
  struct stat fresh = {};
  if (exists && fstat(fd, &fresh) == 0) {
    if (fresh.st_gid != old.st_gid && fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
      // The file's group is not one this user may give: keep it by writing in place.
      close(fd);
      if (unlink(name) != 0) return errno;
      return write_in_place(path, text, folder, seen);
    }
    if ((fresh.st_mode & 07777) != (old.st_mode & 07777) && fchmod(fd, old.st_mode & 07777) != 0)
      error = errno;
  } else if (exists) {
    error = errno;
  }
  if (error == 0) {
    error = write_and_close(fd, text);
  } else {
    close(fd);
  }
  if (error != 0) {
    unlink(name);
    return error;
  }
  return move_over(name, path, exists);
}
