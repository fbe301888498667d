#include "replace_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "byte_stream.hpp"

namespace {

// ---- The rule: what may be gone through, and how a file is written ----

// A folder with the sticky bit that its group or others may write to, such
// as /tmp: users there may plant names for each other.
bool shared_folder(const struct stat& folder) {
  return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Whether the name `name`, found in `folder`, may be gone through. In a
// shared folder a name that another user controls could point the write at
// any file the runner may change, or hand its contents to a reader, so only
// names of the runner's or the folder owner's are trusted there, as careful
// kernels have it; the group counts as much as others, since any member may
// plant a name.
bool trusted(const struct stat& folder, const struct stat& name) {
  return !shared_folder(folder) || name.st_uid == folder.st_uid || name.st_uid == geteuid();
}

enum class way : uint8_t { replace, in_place, refuse };

// How the file `old` (null: there is none) in `folder` is written, from
// what it is: a regular file with one name is replaced by a new one;
// anything else is written through, except a file with other names in a
// shared folder, which may have been linked there by anyone: that one is
// replaced, and refused where a replacement would change it
// (`replacement_fits` false).
way way_for(const struct stat& folder, const struct stat* old, bool replacement_fits) {
  if (old == nullptr) return way::replace;
  const bool other_names = S_ISREG(old->st_mode) && old->st_nlink > 1;
  if (other_names && shared_folder(folder)) return replacement_fits ? way::replace : way::refuse;
  if (!S_ISREG(old->st_mode) || other_names) return way::in_place;
  return replacement_fits ? way::replace : way::in_place;
}

// Whether the new file `fresh`, once given the old one's group, mode and
// attributes, is what `old` was: the same owner, group and mode, set-id
// bits included. Decided on what the system made, not foretold: on a share
// that reports every file as one user's, a new file is that user's too.
bool same_kind(const struct stat& old, const struct stat& fresh) {
  return fresh.st_uid == old.st_uid && fresh.st_gid == old.st_gid &&
         (fresh.st_mode & 07777) == (old.st_mode & 07777);
}

// ---- Finding the name ----

// Closes a descriptor of ours; the current folder's stays.
void release(int fd) {
  if (fd >= 0) close(fd);
}

// Where a path led: the folder its last name lies in, held open, and what
// that name is there, held open too.
struct found_name {
  int folder = AT_FDCWD;  // the folder (O_PATH), or the current one
  struct stat folder_stat = {};
  std::string name;   // the last name, in `folder`
  std::string shown;  // the path by which it was reached, for messages
  int file = -1;      // what `name` is (O_PATH); -1: nothing there
  struct stat file_stat = {};
};

// Resolves `path` from the current folder, name by name, following
// symbolic links itself (at most 40, as the kernel counts) and judging each
// name in its own folder. 0, or the errno; a name refused leaves its path
// in `refused`.
int find(const char* path, found_name& found, std::string& refused) {
  std::string rest = path;
  std::string at;  // the folder reached, as text: "" or ending in '/'
  if (fstatat(AT_FDCWD, ".", &found.folder_stat, 0) != 0) return errno;
  for (int links = 0;;) {
    if (rest.starts_with('/')) {
      const int root = open_file("/", O_PATH | O_DIRECTORY);
      if (root < 0) return errno;
      release(found.folder);
      found.folder = root;
      if (fstat(root, &found.folder_stat) != 0) return errno;
      at.assign(1, '/');
    }
    const size_t begin = rest.find_first_not_of('/');
    if (begin == std::string::npos) return EISDIR;  // the path names a folder
    const size_t end = std::min(rest.find('/', begin), rest.size());
    const std::string name = rest.substr(begin, end - begin);
    const size_t next = rest.find_first_not_of('/', end);
    rest.erase(0, next == std::string::npos ? rest.size() : next);
    const bool last = rest.empty();

    const int fd = open_file_at(found.folder, name.c_str(), O_PATH | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT && last) {
      found.name = name;
      found.shown = at + name;
      return 0;
    }
    if (fd < 0) return errno;
    struct stat seen = {};
    if (fstat(fd, &seen) != 0) {
      const int error = errno;
      release(fd);
      return error;
    }
    if (name != "." && name != ".." && !trusted(found.folder_stat, seen)) {
      refused = at + name;
      release(fd);
      return EACCES;
    }
    if (S_ISLNK(seen.st_mode)) {
      char text[4096];
      const ssize_t n = ++links > 40 ? -1 : readlinkat(fd, "", text, sizeof text);
      const int error = links > 40 ? ELOOP : errno;
      release(fd);
      if (n < 0) return error;
      if (n == 0 || static_cast<size_t>(n) == sizeof text) return n == 0 ? ENOENT : ENAMETOOLONG;
      std::string target(text, static_cast<size_t>(n));
      if (!last) target.append("/").append(rest);
      rest = std::move(target);
      continue;
    }
    if (last) {
      found.name = name;
      found.shown = at + name;
      found.file = fd;
      found.file_stat = seen;
      return 0;
    }
    if (!S_ISDIR(seen.st_mode)) {
      release(fd);
      return ENOTDIR;
    }
    release(found.folder);
    found.folder = fd;
    found.folder_stat = seen;
    at += name + "/";
  }
}

// Opens the file `found` holds, that very file, with `flags`: through the
// process's own view of its descriptors, or, where /proc is not mounted,
// by name again, checked to be the same file.
int reopen(const found_name& found, int flags) {
  flags |= O_NOCTTY | O_NONBLOCK;
  const std::string own = "/proc/self/fd/" + std::to_string(found.file);
  int fd = open_file(own.c_str(), flags);
  if (fd >= 0 || errno != ENOENT || access("/proc/self/fd", F_OK) == 0) return fd;
  fd = open_file_at(found.folder, found.name.c_str(), flags | O_NOFOLLOW);
  struct stat opened = {};
  if (fd >= 0 && (fstat(fd, &opened) != 0 || opened.st_dev != found.file_stat.st_dev ||
                  opened.st_ino != found.file_stat.st_ino)) {
    close(fd);
    errno = ESTALE;  // it was replaced meanwhile
    return -1;
  }
  return fd;
}

// ---- The old file: its text and its attributes ----

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

// One extended attribute: its name and value.
struct attribute {
  std::string name;
  std::string value;
};

// The value of the attribute `name` of the open file `fd`; false when it
// has none or it cannot be read.
bool attribute_value(int fd, const char* name, std::string& value) {
  for (int tries = 0; tries < 4; ++tries) {
    const ssize_t size = fgetxattr(fd, name, nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<size_t>(size));
    const ssize_t n = fgetxattr(fd, name, value.data(), value.size());
    if (n >= 0) {
      value.resize(static_cast<size_t>(n));
      return true;
    }
    if (errno != ERANGE) return false;  // ERANGE: it grew meanwhile
  }
  return false;
}

// All extended attributes of the open file `fd`; 0, or the errno. A file
// system without them has none.
int read_attributes(int fd, std::vector<attribute>& out) {
  std::string names(256, '\0');
  ssize_t n = flistxattr(fd, names.data(), names.size());
  if (n < 0 && errno == ERANGE) {
    const ssize_t size = flistxattr(fd, nullptr, 0);
    names.resize(size > 0 ? static_cast<size_t>(size) : 0);
    n = size > 0 ? flistxattr(fd, names.data(), names.size()) : size;
  }
  if (n < 0) return errno == ENOTSUP ? 0 : errno;
  for (size_t at = 0; at < static_cast<size_t>(n); at = names.find('\0', at) + 1) {
    attribute a;
    a.name = names.c_str() + at;
    if (!attribute_value(fd, a.name.c_str(), a.value)) return errno != 0 ? errno : EIO;
    out.push_back(std::move(a));
  }
  return 0;
}

// Gives the open file `fd` the attributes `wanted` where it holds another
// value or none; false when one cannot be given.
bool give_attributes(int fd, const std::vector<attribute>& wanted) {
  std::string value;
  return std::all_of(wanted.begin(), wanted.end(), [&](const attribute& a) {
    if (attribute_value(fd, a.name.c_str(), value) && value == a.value) return true;
    return fsetxattr(fd, a.name.c_str(), a.value.data(), a.value.size(), 0) == 0;
  });
}

// ---- Writing ----

// Writes all of `text` and closes `fd`; the first error, or 0.
int write_and_close(int fd, std::string_view text) {
  byte_sink file;
  file.fd = fd;
  sink_write(file, text.data(), text.size());
  if (close(fd) != 0 && file.error == 0 && errno != EINTR) file.error = errno;
  return file.error;
}

// Writes `text` into what `found` holds, truncating a regular file first,
// or into a file made under its name where there is none. The mode the
// write takes (set-id bits) is given back.
int write_in_place(const found_name& found, std::string_view text) {
  if (found.file < 0) {
    const int fd = open_file_at(found.folder, found.name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    return fd < 0 ? errno : write_and_close(fd, text);
  }
  const int fd = reopen(found, O_WRONLY);
  if (fd < 0) return errno;
  const bool regular = S_ISREG(found.file_stat.st_mode);
  byte_sink file;
  file.fd = fd;
  if (regular && ftruncate(fd, 0) != 0) file.error = errno;
  sink_write(file, text.data(), text.size());
  struct stat after = {};
  const mode_t mode = found.file_stat.st_mode & 07777;
  if (file.error == 0 && regular && fstat(fd, &after) == 0 && (after.st_mode & 07777) != mode &&
      fchmod(fd, mode) != 0)
    file.error = errno;
  if (close(fd) != 0 && file.error == 0 && errno != EINTR) file.error = errno;
  return file.error;
}

// Makes a new file beside `found` under a random name, readable and
// writable by this user alone. The descriptor, or -1 with errno set; the
// name in `name`. 64 random bits a name: a planter would need a good share
// of 2^64 names to take even one try. Eight taken in a row give EEXIST.
int make_private_file(const found_name& found, std::string& name) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
      if (errno == 0) errno = EAGAIN;
      return -1;
    }
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(random));
    name = "." + found.name + "." + digits;
    // Exclusive: never through a name that exists, a planted link included.
    const int fd = open_file_at(found.folder, name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// The mode bits a POSIX access ACL or default ACL `acl` gives the group
// class (its mask, or its owning group where it has none) and others.
mode_t acl_group_and_other(const std::string& acl) {
  // Entries of 8 bytes (tag, permissions, id; little-endian) after a
  // 4-byte version.
  mode_t group = 0;
  mode_t mask = 0;
  mode_t other = 0;
  bool has_mask = false;
  for (size_t at = 4; at + 8 <= acl.size(); at += 8) {
    const unsigned tag = static_cast<unsigned char>(acl[at]) |
                         static_cast<unsigned>(static_cast<unsigned char>(acl[at + 1])) << 8;
    const mode_t permissions = static_cast<unsigned char>(acl[at + 2]) & 7;
    if (tag == 0x04) group = permissions;
    if (tag == 0x10) {
      mask = permissions;
      has_mask = true;
    }
    if (tag == 0x20) other = permissions;
  }
  return (has_mask ? mask : group) << 3 | other;
}

// The mode that creating `found`'s name with 0666 would have given the new
// file `fd`, born with 0600 (`fresh`): 0666 less the umask, or where the
// folder has a default ACL (the new file then has an access ACL), what that
// ACL leaves of 0666.
int mode_of_a_new_file(const found_name& found, int fd, const struct stat& fresh, mode_t& mode) {
  std::string acl;
  if (!attribute_value(fd, "system.posix_acl_access", acl)) {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
    return 0;
  }
  const std::string folder =
      found.folder == AT_FDCWD ? "." : "/proc/self/fd/" + std::to_string(found.folder);
  std::string inherited(4 + 8 * 64, '\0');
  const ssize_t n = getxattr(folder.c_str(), "system.posix_acl_default", inherited.data(),
                             inherited.size());
  if (n < 0) return errno;
  inherited.resize(static_cast<size_t>(n));
  mode = (fresh.st_mode & 0700) | (acl_group_and_other(inherited) & 0066);
  return 0;
}

// Gives the new file `fd` what the old one (`old`, its attributes in
// `attributes`; null: none) had, after its text is written: group, mode
// and attributes. True when it then is what the old one was; errors of the
// system are kept in `error`.
bool make_like(const found_name& found, int fd, const struct stat* old,
               const std::vector<attribute>& attributes, int& error) {
  struct stat fresh = {};
  if (fstat(fd, &fresh) != 0) {
    error = errno;
    return false;
  }
  if (old == nullptr) {
    mode_t mode = 0;
    error = mode_of_a_new_file(found, fd, fresh, mode);
    if (error == 0 && fchmod(fd, mode) != 0) error = errno;
    return error == 0;
  }
  // A group this user may not give, a mode with a set-group-ID bit the
  // system drops, an attribute it refuses: each shows in what it made.
  if (fresh.st_gid != old->st_gid && fchown(fd, static_cast<uid_t>(-1), old->st_gid) != 0)
    return false;
  if (fchmod(fd, old->st_mode & 07777) != 0 || !give_attributes(fd, attributes)) return false;
  if (fstat(fd, &fresh) != 0) {
    error = errno;
    return false;
  }
  return same_kind(*old, fresh);
}

// Puts the new file `from` in the place of `found`'s name, atomically, in
// its folder. An existing file is swapped out and removed where the system
// can swap two names: renaming over a file makes some file systems (ext4)
// start writing the new one out at once. A share that refuses to rename
// over a file another process holds open (SMB) is asked again, for up to
// about two seconds. On failure `from` is removed, or named in `result`.
int move_over(const found_name& found, const std::string& from, replace_result& result) {
  const char* to = found.name.c_str();
  for (int attempt = 0;; ++attempt) {
#ifdef RENAME_EXCHANGE
    if (found.file >= 0 && renameat2(found.folder, from.c_str(), found.folder, to,
                                     RENAME_EXCHANGE) == 0) {
      // `from` is now the old file: one that stays is told, not left unsaid.
      if (unlinkat(found.folder, from.c_str(), 0) == 0) return 0;
      result.left = from;
      result.left_is_old = true;
      return errno;
    }
#endif
    // No swap here, or the old file has gone, or the file system has none.
    if (renameat(found.folder, from.c_str(), found.folder, to) == 0) return 0;
    const int error = errno;
    if ((error == EACCES || error == EBUSY) && attempt < 40) {
      const timespec pause{0, std::min(1L << attempt, 64L) * 1000000L};
      nanosleep(&pause, nullptr);
      continue;
    }
    if (unlinkat(found.folder, from.c_str(), 0) != 0) result.left = from;
    return error;
  }
}

// Replaces what `find` found, or writes it in place where the rule says so.
int replace_found(const found_name& found, std::string_view text, replace_result& result) {
  const struct stat* old = found.file >= 0 ? &found.file_stat : nullptr;
  const bool regular = old != nullptr && S_ISREG(old->st_mode);
  std::vector<attribute> attributes;
  bool fits = true;  // whether a new file can be made what the old one is
  if (regular) {
    // The old file's text and attributes, from the very file that was judged.
    const int fd = reopen(found, O_RDONLY);
    if (fd >= 0 && old->st_nlink == 1 && old->st_size == static_cast<off_t>(text.size()) &&
        holds_exactly(fd, text) && futimens(fd, nullptr) == 0) {
      close(fd);
      return 0;  // it holds the text already: only marked as written now
    }
    fits = fd >= 0 && read_attributes(fd, attributes) == 0;
    release(fd);
  }
  way chosen = way_for(found.folder_stat, old, fits);
  if (chosen == way::replace) {
    std::string name;
    const int fd = make_private_file(found, name);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == EEXIST ||
                   errno == ENOSYS || errno == EAGAIN)) {
      // No new file may be made here (or no random number be had).
      chosen = way_for(found.folder_stat, old, false);
    } else if (fd < 0) {
      return errno;
    } else {
      byte_sink file;
      file.fd = fd;
      sink_write(file, text.data(), text.size());
      int error = file.error;
      const bool like = error == 0 && make_like(found, fd, old, attributes, error);
      if (close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
      if (error == 0 && like) return move_over(found, name, result);
      if (unlinkat(found.folder, name.c_str(), 0) != 0) {
        result.left = name;
        return error != 0 ? error : errno;
      }
      if (error != 0) return error;
      chosen = way_for(found.folder_stat, old, false);
    }
  }
  if (chosen == way::refuse) {
    result.refused = found.shown;
    result.refused_because = "has other names in a shared folder, and a new file would change it";
    return EACCES;
  }
  return write_in_place(found, text);
}

}  // namespace

replace_result replace_file(const char* path, std::string_view text) {
  replace_result result;
  found_name found;
  result.error = find(path, found, result.refused);
  if (!result.refused.empty()) result.refused_because = "belongs to another user in a shared folder";
  if (result.error == 0) result.error = replace_found(found, text, result);
  release(found.file);
  release(found.folder);
  return result;
}

std::string failure_text(const replace_result& result) {
  std::string text = std::strerror(result.error);
  if (!result.refused.empty() && result.refused_because != nullptr)
    text += std::string(": ") + result.refused + " " + result.refused_because;
  if (!result.left.empty())
    text += std::string("; the ") + (result.left_is_old ? "old" : "new") + " file is left as " +
            result.left;
  return text;
}
