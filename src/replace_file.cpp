#include "replace_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
// reader, so only names of the runner's or the folder owner's are trusted
// there, as careful kernels have it: links and FIFOs where others may
// write, regular files where the group may too. A regular file with another
// name may have been linked there by anyone, so it is never written
// through: one of the runner's is replaced instead.
bool may_write_through(const struct stat& folder, const struct stat& file) {
  const bool trusted = file.st_uid == geteuid() || file.st_uid == folder.st_uid;
  const bool others_write = (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
  if (S_ISLNK(file.st_mode) || S_ISFIFO(file.st_mode)) return trusted || !others_write;
  if (S_ISREG(file.st_mode)) return (trusted && file.st_nlink == 1) || !shared_folder(folder);
  return true;
}

// Opens `path`, which lstat found as `*seen` (null: found nothing), and
// writes `text` into whatever it is. The judgement is made on the name
// before it is opened and again on what the open reached, without following
// a link that was not judged, so that a name swapped in meanwhile gains
// nobody anything.
int write_in_place(const char* path, std::string_view text, const struct stat& folder,
                   const struct stat* seen) {
  if (seen != nullptr && !may_write_through(folder, *seen)) return EACCES;
  const bool follow = seen != nullptr && S_ISLNK(seen->st_mode);
  const int fd = open_file(path, O_WRONLY | O_CREAT | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW), 0666);
  if (fd < 0) return errno;
  struct stat opened = {};
  int error = fstat(fd, &opened) == 0 ? 0 : errno;
  if (error == 0 && !follow && !may_write_through(folder, opened)) error = EACCES;
  // Truncated only now that it is known what it is.
  if (error == 0 && S_ISREG(opened.st_mode) && ftruncate(fd, 0) != 0) error = errno;
  if (error != 0) {
    close(fd);
    return error;
  }
  return write_and_close(fd, text);
}

// A name beside `path` for the new file: ".NAME.PID.ATTEMPT" in the same
// folder, so that the rename stays within one file system. Hidden, as it
// lives only for the moment of the write. False when it does not fit.
bool temporary_name(char* name, size_t size, const char* path, unsigned attempt) {
  const int folder = folder_length(path);
  const int n = std::snprintf(name, size, "%.*s.%s.%ld.%u", folder, path, path + folder,
                              static_cast<long>(getpid()), attempt);
  return n > 0 && static_cast<size_t>(n) < size;
}

// Puts the file `from` in the place of `to`, atomically. An existing `to` is
// swapped out and removed where the system can swap two names: renaming
// over a file makes some file systems (ext4) start writing the new one out
// at once, which costs more than the rest of a short run together.
int move_over(const char* from, const char* to, bool exists) {
#ifdef RENAME_EXCHANGE
  if (exists && renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0) {
    unlink(from);  // now the old file
    return 0;
  }
#else
  static_cast<void>(exists);
#endif
  // No swap here, or `to` has gone meanwhile, or the file system has none.
  return rename(from, to) == 0 ? 0 : errno;
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
  if (exists && keep_if_same(path, old, text)) return 0;

  char name[4096];
  int fd = -1;
  for (unsigned attempt = 0; fd < 0; ++attempt) {
    if (!temporary_name(name, sizeof name, path, attempt)) return ENAMETOOLONG;
    // Exclusive: never through a name that exists, a planted link included.
    fd = open_file(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (fd >= 0) break;
    if (errno == EEXIST && attempt < 100) continue;  // left by a killed run of this pid
    if (errno == EACCES || errno == EPERM) return write_in_place(path, text, folder, seen);
    return errno;
  }

  int error = 0;
  struct stat fresh = {};
  if (exists && fstat(fd, &fresh) == 0) {
    if (fresh.st_gid != old.st_gid && fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
      // The file's group is not one this user may give: keep it by writing in place.
      close(fd);
      unlink(name);
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
  if (error == 0) error = move_over(name, path, exists);
  if (error != 0) unlink(name);
  return error;
}
