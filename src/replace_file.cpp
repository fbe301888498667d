#include "replace_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
// names of the runner's or the folder owner's are trusted there; the group
// counts as much as others, since any member may plant a name. These are the kernel's rules for
// links in sticky folders (fs.protected_symlinks), for every kind of name and whatever the system's
// settings. Nor is a link or FIFO with another name trusted there: anyone
// may have linked it in. (A regular file with other names is replaced,
// below.)
bool trusted(const struct stat& folder, const struct stat& name) {
  if (!shared_folder(folder)) return true;
  const bool linked_in = name.st_nlink > 1 && !S_ISREG(name.st_mode) && !S_ISDIR(name.st_mode);
  return !linked_in && (name.st_uid == folder.st_uid || name.st_uid == geteuid());
}

enum class way : uint8_t { replace, in_place, refuse };

// How the file `old` (null: there is none) in `folder` is written, from
// what it is: a regular file with one name is replaced by a new one;
// anything else is written through, except a file with other names in a
// shared folder, which may have been linked there by anyone: that one is
// replaced, and refused where a replacement would change it. Where no new
// file can be made, or would not be what the old one is
// (`replacement_fits` false), the file is made or written in place.
way way_for(const struct stat& folder, const struct stat* old, bool replacement_fits) {
  if (old == nullptr) return replacement_fits ? way::replace : way::in_place;
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
  char name[NAME_MAX + 1] = "";  // the last name, in `folder`
  char shown[PATH_MAX];          // that name, or one refused, as the text walked spells it
  bool refused = false;          // by the rule: EACCES
  int file = -1;                 // a descriptor of what `name` is
  struct stat file_stat = {};    // st_mode 0: nothing there
};

// A text whose names are being walked, where it lies: the path given, or
// a symbolic link's text (`owned`, to be freed), from `at` on.
struct walked_text {
  char* owned = nullptr;
  const char* text = nullptr;
  size_t at = 0;
};

// How many bytes of `text` from `at` on are (`slashes`) or are not slashes.
size_t span(const char* text, size_t at, bool slashes) {
  size_t n = at;
  while (text[n] != '\0' && (text[n] == '/') == slashes) ++n;
  return n - at;
}

// Whether `text` names anything more from `at` on.
bool names_more(const walked_text& text) {
  return text.text[text.at + span(text.text, text.at, true)] != '\0';
}

// Reads the symbolic link `fd` into a block of its own, as `text`; 0 or the
// errno.
int read_link(int fd, walked_text& text) {
  char* block = static_cast<char*>(std::malloc(PATH_MAX));
  const ssize_t n = block == nullptr ? -1 : readlinkat(fd, "", block, PATH_MAX);
  int error = 0;
  if (block == nullptr) {
    error = ENOMEM;
  } else if (n < 0) {
    error = errno;
  } else if (n == 0 || n == PATH_MAX) {
    error = n == 0 ? ENOENT : ENAMETOOLONG;
  }
  if (error != 0) {
    std::free(block);
    return error;
  }
  block[n] = '\0';
  text = walked_text{block, block, 0};
  return 0;
}

// As many symbolic links as the kernel follows for one name.
constexpr int max_links = 40;

// Resolves `path` from the current folder, name by name, following
// symbolic links itself (at most `max_links`) and judging each
// name in its own folder. A link's text is walked where it lies, before the
// rest of the text that led to it. 0, or the errno.
int find(const char* path, found_name& found) {
  found.shown[0] = '\0';
  if (fstatat(AT_FDCWD, ".", &found.folder_stat, 0) != 0) return errno;
  walked_text texts[max_links + 1];
  int depth = 1;
  int error = 0;
  bool folder_wanted = false;  // the last name was followed by a slash
  texts[0].text = path;
  for (int links = 0; error == 0;) {
    walked_text& top = texts[depth - 1];
    if (top.at == 0 && top.text[0] == '/') {
      const int root = open_file("/", O_PATH | O_DIRECTORY);
      if (root < 0 || fstat(root, &found.folder_stat) != 0) error = errno;
      release(found.folder);
      found.folder = root;
    }
    top.at += span(top.text, top.at, true);
    const size_t begin = top.at;
    top.at += span(top.text, begin, false);
    const size_t length = top.at - begin;
    if (error != 0) break;
    if (length == 0) {  // this text is walked: back to the one that led to it
      std::free(top.owned);
      if (--depth == 0) error = EISDIR;  // the path names a folder
      continue;
    }
    bool last = !names_more(top);
    for (int i = 0; last && i < depth - 1; ++i) last = !names_more(texts[i]);
    if (last && top.text[top.at] == '/') folder_wanted = true;
    static_cast<void>(
        std::snprintf(found.shown, sizeof found.shown, "%.*s", static_cast<int>(top.at), top.text));
    if (length > NAME_MAX) {
      error = ENAMETOOLONG;
      break;
    }
    char name[NAME_MAX + 1];
    std::memcpy(name, top.text + begin, length);
    name[length] = '\0';

    const int fd = open_file_at(found.folder, name, O_PATH | O_NOFOLLOW);
    struct stat seen = {};
    if (fd < 0 || fstat(fd, &seen) != 0) {
      error = errno;
      release(fd);
      if (error != ENOENT || !last) break;
      std::memcpy(found.name, name, length + 1);  // nothing there: it is made
      error = folder_wanted ? EISDIR : 0;
      break;
    }
    const bool dots = name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.'));
    if (!dots && !trusted(found.folder_stat, seen)) {
      found.refused = true;
      release(fd);
      error = EACCES;
    } else if (S_ISLNK(seen.st_mode)) {
      // Each link adds one text, so that `depth` stays within `texts`.
      assert(depth <= links + 1 && links <= max_links);
      error = ++links > max_links ? ELOOP : read_link(fd, texts[depth]);
      release(fd);
      if (error == 0) ++depth;
    } else if (last && (!folder_wanted || S_ISDIR(seen.st_mode))) {
      std::memcpy(found.name, name, length + 1);
      found.file = fd;
      found.file_stat = seen;
      break;
    } else if (!S_ISDIR(seen.st_mode)) {
      release(fd);
      error = ENOTDIR;
    } else {
      release(found.folder);
      found.folder = fd;
      found.folder_stat = seen;
    }
  }
  for (int i = 0; i < depth; ++i) std::free(texts[i].owned);
  return error;
}

// The name by which the process reaches what its descriptor `fd` holds,
// that very file or folder, without looking up any name it had: the current
// folder's, or its entry in /proc.
struct own_name {
  char text[32];
};
own_name own_name_of(int fd) {
  own_name own = {"."};
  if (fd != AT_FDCWD)
    static_cast<void>(std::snprintf(own.text, sizeof own.text, "/proc/self/fd/%d", fd));
  return own;
}

// Opens the file `found` holds, that very file, with `flags`. Where /proc
// is not mounted, or a share cannot open a file that has lost its name, by
// name again, checked to be the same file: ESTALE when it is not there any
// more, as when another run replaced it meanwhile.
int reopen(const found_name& found, int flags) {
  flags |= O_NOCTTY | O_NONBLOCK;
  int fd = open_file(own_name_of(found.file).text, flags);
  if (fd >= 0 || errno != ENOENT) return fd;
  fd = open_file_at(found.folder, found.name, flags | O_NOFOLLOW);
  struct stat opened = {};
  if (fd < 0 && errno == ENOENT) errno = ESTALE;
  if (fd >= 0 && (fstat(fd, &opened) != 0 || opened.st_dev != found.file_stat.st_dev ||
                  opened.st_ino != found.file_stat.st_ino)) {
    close(fd);
    errno = ESTALE;
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

// The value of the extended attribute `name` of the open file `fd`, in a
// block of its own to be freed, and its size; null when it has none or it
// cannot be read (errno says which).
char* attribute_value(int fd, const char* name, size_t& size) {
  for (int tries = 0; tries < 4; ++tries) {  // ERANGE: it grew meanwhile
    const ssize_t wanted = fgetxattr(fd, name, nullptr, 0);
    if (wanted < 0) return nullptr;
    char* value = static_cast<char*>(std::malloc(static_cast<size_t>(wanted) + 1));
    // Never a size of 0, which asks for the size and copies nothing.
    const ssize_t n =
        value == nullptr ? -1 : fgetxattr(fd, name, value, static_cast<size_t>(wanted) + 1);
    if (n >= 0) {
      size = static_cast<size_t>(n);
      return value;
    }
    const int error = value == nullptr ? ENOMEM : errno;
    std::free(value);
    errno = error;
    if (error != ERANGE) return nullptr;
  }
  return nullptr;
}

// An empty list of attribute names, to be freed as any other.
char* no_names() {
  char* names = static_cast<char*>(std::malloc(1));
  if (names != nullptr) names[0] = '\0';
  return names;
}

// The names of the extended attributes of the open file `fd`, each ended
// by a NUL, in a block of its own to be freed, and their size; null when
// they cannot be read. A file system without them has none.
char* attribute_names(int fd, size_t& size) {
  // Most files have none or a few: one call for them.
  char few[256];
  const ssize_t listed = flistxattr(fd, few, sizeof few);
  if (listed >= 0 || errno == ENOTSUP) {
    size = listed > 0 ? static_cast<size_t>(listed) : 0;
    char* names = static_cast<char*>(std::malloc(size + 1));
    if (names != nullptr) std::memcpy(names, few, size);
    return names;
  }
  for (int tries = 0; errno == ERANGE && tries < 4; ++tries) {  // ERANGE: they grew meanwhile
    const ssize_t wanted = flistxattr(fd, nullptr, 0);
    if (wanted < 0) return nullptr;
    char* names = static_cast<char*>(std::malloc(static_cast<size_t>(wanted) + 1));
    const ssize_t n =
        names == nullptr ? -1 : flistxattr(fd, names, static_cast<size_t>(wanted) + 1);
    if (n >= 0) {
      size = static_cast<size_t>(n);
      return names;
    }
    std::free(names);
    if (errno != ERANGE) return nullptr;
  }
  return nullptr;
}

// Whether `name` is among the `size` bytes of attribute names at `names`.
bool listed(const char* names, size_t size, const char* name) {
  const size_t length = std::strlen(name) + 1;
  for (size_t at = 0; at < size; at += std::strlen(names + at) + 1)
    if (size - at >= length && std::memcmp(names + at, name, length) == 0) return true;
  return false;
}

// Makes the extended attributes of the new file `fresh` those of the old
// one `old` (its ACL, labels, user data): each given where it holds another
// value or none, and each it has beyond them, as an ACL inherited from the
// folder, taken away. True when that is done.
bool give_attributes(int old, int fresh) {
  size_t old_size = 0;
  size_t fresh_size = 0;
  char* old_names = attribute_names(old, old_size);
  // A share that keeps attributes by name (SMB) has none for an old file
  // that another run has replaced meanwhile: nothing to give.
  if (old_names == nullptr && (errno == ENOENT || errno == ESTALE)) old_names = no_names();
  char* fresh_names = old_names == nullptr ? nullptr : attribute_names(fresh, fresh_size);
  bool given = fresh_names != nullptr;
  for (size_t at = 0; given && at < old_size; at += std::strlen(old_names + at) + 1) {
    const char* name = old_names + at;
    size_t wanted_size = 0;
    size_t held_size = 0;
    char* wanted = attribute_value(old, name, wanted_size);
    char* held = wanted == nullptr ? nullptr : attribute_value(fresh, name, held_size);
    given = wanted != nullptr && ((held != nullptr && held_size == wanted_size &&
                                   std::memcmp(held, wanted, wanted_size) == 0) ||
                                  fsetxattr(fresh, name, wanted, wanted_size, 0) == 0);
    std::free(wanted);
    std::free(held);
  }
  for (size_t at = 0; given && at < fresh_size; at += std::strlen(fresh_names + at) + 1) {
    const char* name = fresh_names + at;
    given = listed(old_names, old_size, name) || fremovexattr(fresh, name) == 0;
  }
  std::free(old_names);
  std::free(fresh_names);
  return given;
}

// ---- Telling what became of it ----

// Names `name`, beside `found`'s, in `result` as a file left behind.
void leave(const found_name& found, replace_result& result, const char* name, bool old) {
  const char* slash = std::strrchr(found.shown, '/');
  const int folder = slash == nullptr ? 0 : static_cast<int>(slash + 1 - found.shown);
  static_cast<void>(
      std::snprintf(result.left, sizeof result.left, "%.*s%s", folder, found.shown, name));
  result.left_is_named = true;
  result.left_is_old = old;
}

// Names what `found` spells in `result`, with what the error means for it.
void explain(const found_name& found, replace_result& result, const char* why) {
  static_cast<void>(std::snprintf(result.name, sizeof result.name, "%s", found.shown));
  result.why = why;
}

constexpr char others_name[] = "belongs to another user in a shared folder";

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
// or into a file made under its name where there is none. The set-id bits
// that the write takes away are given back; where they cannot be, that is
// EPERM, and said in `result`.
int write_in_place(const found_name& found, std::string_view text, replace_result& result) {
  if (found.file_stat.st_mode == 0) {
    const int fd =
        open_file_at(found.folder, found.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    // Made meanwhile, by another run: to be looked at again.
    if (fd < 0) return errno == EEXIST ? ESTALE : errno;
    return write_and_close(fd, text);
  }
  const int fd = reopen(found, O_WRONLY);
  if (fd < 0) return errno;
  const bool regular = S_ISREG(found.file_stat.st_mode);
  byte_sink file;
  file.fd = fd;
  if (regular && ftruncate(fd, 0) != 0) file.error = errno;
  sink_write(file, text.data(), text.size());
  const mode_t mode = found.file_stat.st_mode & 07777;
  struct stat after = {};
  if (file.error == 0 && regular && fstat(fd, &after) == 0 && (after.st_mode & 07777) != mode &&
      (fchmod(fd, mode) != 0 || fstat(fd, &after) != 0 || (after.st_mode & 07777) != mode)) {
    file.error = EPERM;
    explain(found, result, "was written, but its set-user-ID or set-group-ID bit is lost");
  }
  if (close(fd) != 0 && file.error == 0 && errno != EINTR) file.error = errno;
  return file.error;
}

// Makes a new file beside `found` under a random name, into `name`,
// readable and writable by this user alone. The descriptor, or -1 with
// errno set. 64 random bits a name: a name planted in advance is this one
// with a chance of 2^-64. Eight taken in a row give EEXIST.
int make_private_file(const found_name& found, char (&name)[NAME_MAX + 1]) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    uint64_t random = 0;
    const ssize_t got = getrandom(&random, sizeof random, 0);
    if (got != static_cast<ssize_t>(sizeof random)) {
      if (got >= 0) errno = EAGAIN;  // a short read sets no errno
      return -1;
    }
    const int n = std::snprintf(name, sizeof name, ".%s.%016llx", found.name,
                                static_cast<unsigned long long>(random));
    if (n < 0 || static_cast<size_t>(n) >= sizeof name) {
      errno = ENAMETOOLONG;
      return -1;
    }
    // Exclusive: never through a name that exists, a planted link included.
    const int fd = open_file_at(found.folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// The mode bits a POSIX ACL (`size` bytes at `acl`) gives the group class
// (its mask, or its owning group where it has none) and others.
mode_t acl_group_and_other(const unsigned char* acl, size_t size) {
  // Entries of 8 bytes (tag, permissions, id; little-endian) after a
  // 4-byte version.
  mode_t group = 0;
  mode_t mask = 0;
  mode_t other = 0;
  bool has_mask = false;
  for (size_t at = 4; at + 8 <= size; at += 8) {
    const unsigned tag = acl[at] | static_cast<unsigned>(acl[at + 1]) << 8;
    const mode_t permissions = acl[at + 2] & 7U;
    if (tag == 0x04) group = permissions;
    if (tag == 0x10) mask = permissions;
    if (tag == 0x10) has_mask = true;
    if (tag == 0x20) other = permissions;
  }
  return (has_mask ? mask : group) << 3 | other;
}

// The mode that creating `found`'s name with 0666 would have given the new
// file, born 0600 (`fresh`): where the folder has a default ACL, what that
// ACL leaves of 0666, else 0666 less the umask. False where the folder's
// ACL cannot be read (without /proc, a folder other than the current one).
bool mode_of_a_new_file(const found_name& found, const struct stat& fresh, mode_t& mode) {
  unsigned char acl[4 + 8 * 64];  // far more entries than anyone gives a folder
  const ssize_t size =
      getxattr(own_name_of(found.folder).text, "system.posix_acl_default", acl, sizeof acl);
  if (size < 0 && errno != ENODATA && errno != ENOTSUP) return false;
  if (size < 0) {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  } else {
    mode = (fresh.st_mode & 0700) | (acl_group_and_other(acl, static_cast<size_t>(size)) & 0066);
  }
  return true;
}

// Gives the new file `fd`, its text written, what the old one (`old`, open
// as `old_fd`; null: there is none) had: group, attributes, then mode, so
// that the set-id bits come last and nobody the old file's ACL shuts out
// gains anything meanwhile. True when it then is what the old one was.
// False otherwise: with `error` 0 where the system would not make it so (a
// group, an attribute, a mode refused; the old file is then written in
// place), or with the errno where it failed.
bool make_like(const found_name& found, int fd, const struct stat* old, int old_fd, int& error) {
  struct stat fresh = {};
  if (fstat(fd, &fresh) != 0) {
    error = errno;
    return false;
  }
  if (old == nullptr) {
    mode_t mode = 0;
    if (!mode_of_a_new_file(found, fresh, mode)) return false;
    // A share that shows every file as another user's, with modes of its
    // own, refuses the mode (EPERM): the file is as the share makes any.
    // Anywhere else a new file that keeps its 0600 is not made as asked.
    if ((fresh.st_mode & 07777) == mode || fchmod(fd, mode) == 0) return true;
    if (errno != EPERM || fresh.st_uid == geteuid()) error = errno;
    return error == 0;
  }
  // A group this user may not give, a mode with a set-group-ID bit the
  // system drops, an attribute it refuses: each shows in what it made.
  // Only what differs is asked for, so that such a share, where every file
  // is as the old one, gets a whole replacement.
  if (fresh.st_gid != old->st_gid && fchown(fd, static_cast<uid_t>(-1), old->st_gid) != 0)
    return false;
  if (!give_attributes(old_fd, fd)) return false;
  if ((fresh.st_mode & 07777) != (old->st_mode & 07777) && fchmod(fd, old->st_mode & 07777) != 0)
    return false;
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
int move_over(const found_name& found, const char* from, replace_result& result) {
  for (int attempt = 0;; ++attempt) {
#ifdef RENAME_EXCHANGE
    if (found.file_stat.st_mode != 0 &&
        renameat2(found.folder, from, found.folder, found.name, RENAME_EXCHANGE) == 0) {
      // `from` is now the old file: one that stays is told, not left unsaid.
      if (unlinkat(found.folder, from, 0) == 0) return 0;
      const int error = errno;
      leave(found, result, from, true);
      return error;
    }
#endif
    // No swap here, or the old file has gone, or the file system has none.
    if (renameat(found.folder, from, found.folder, found.name) == 0) return 0;
    const int error = errno;
    if ((error == EACCES || error == EBUSY) && attempt < 40) {
      static_cast<void>(poll(nullptr, 0, 1 << std::min(attempt, 6)));  // milliseconds
      continue;
    }
    if (unlinkat(found.folder, from, 0) != 0) leave(found, result, from, false);
    // The sticky bit keeps others' names: one planted since it was looked at.
    if (error == EPERM && shared_folder(found.folder_stat)) explain(found, result, others_name);
    return error;
  }
}

// Makes the new file beside `found`, gives it what the old one (open as
// `found.file`) had, and moves it over; `chosen` becomes in_place where
// that cannot be done. 0 or the errno.
int replace(found_name& found, std::string_view text, way& chosen, replace_result& result) {
  const struct stat* old = found.file_stat.st_mode != 0 ? &found.file_stat : nullptr;
  char name[NAME_MAX + 1];
  const int fd = make_private_file(found, name);
  if (fd < 0) {
    const int error = errno;
    // No new file may be made here (or no random number be had).
    chosen = way_for(found.folder_stat, old, false);
    return error == EACCES || error == EPERM || error == EROFS || error == EEXIST ||
                   error == ENOSYS || error == EAGAIN || error == ENAMETOOLONG
               ? 0
               : error;
  }
  byte_sink file;
  file.fd = fd;
  sink_write(file, text.data(), text.size());
  int error = file.error;
  const bool like = error == 0 && make_like(found, fd, old, found.file, error);
  if (close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error == 0 && like) {
    release(found.file);  // before the rename: some shares refuse it over an open file
    found.file = -1;
    return move_over(found, name, result);
  }
  if (unlinkat(found.folder, name, 0) != 0) {
    if (error == 0) error = errno;
    leave(found, result, name, false);
    return error;
  }
  chosen = way_for(found.folder_stat, old, false);
  return error;
}

// Replaces what `find` found, or writes it in place where the rule says so.
// ESTALE: the name holds another file than the one found, which another
// run may have put there meanwhile; it is to be looked for again.
int replace_found(found_name& found, std::string_view text, replace_result& result) {
  const struct stat* old = found.file_stat.st_mode != 0 ? &found.file_stat : nullptr;
  bool readable = true;
  if (old != nullptr && S_ISREG(old->st_mode)) {
    // Its text and attributes. Opened by name, as a share may not open a
    // file another run has taken the name from; what opens is judged again.
    const int fd =
        open_file_at(found.folder, found.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    struct stat opened = {};
    if (fd < 0 && errno != EACCES) return errno == ENOENT ? ESTALE : errno;
    if (fd >= 0 && (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) ||
                    !trusted(found.folder_stat, opened))) {
      close(fd);
      return ESTALE;
    }
    readable = fd >= 0;
    if (readable) {
      release(found.file);
      found.file = fd;
      found.file_stat = opened;
    }
    if (readable && old->st_nlink == 1 && old->st_size == static_cast<off_t>(text.size()) &&
        holds_exactly(fd, text) && futimens(fd, nullptr) == 0)
      return 0;  // it holds the text already: only marked as written now
  }
  way chosen = way_for(found.folder_stat, old, readable);
  if (chosen == way::replace) {
    const int error = replace(found, text, chosen, result);
    if (error != 0 || chosen == way::replace) return error;
  }
  if (chosen == way::refuse) {
    explain(found, result, "has other names in a shared folder and cannot be replaced whole");
    return EACCES;
  }
  return write_in_place(found, text, result);
}

}  // namespace

replace_result replace_file(const char* path, std::string_view text) {
  replace_result result;
  // A file that another run replaced between the look and the open is
  // looked for again, after a pause: a share may show no file at all for
  // the moment of a rename.
  for (int tries = 0; tries < 8; ++tries) {
    if (tries > 0) static_cast<void>(poll(nullptr, 0, 1 << tries));  // milliseconds
    found_name found;
    result.error = find(path, found);
    if (found.refused) explain(found, result, others_name);
    if (result.error == 0) result.error = replace_found(found, text, result);
    release(found.file);
    release(found.folder);
    if (result.error != ESTALE || result.left_is_named) break;
  }
  return result;
}

void failure_text(const replace_result& result, char* out, size_t size) {
  const bool named = result.why != nullptr;
  const char* left = "";
  if (result.left_is_named)
    left = result.left_is_old ? "; the old file is left as " : "; the new file is left as ";
  // Cut short where `out` is full: the reason comes first.
  static_cast<void>(std::snprintf(out, size, "%s%s%s%s%s%s%s", std::strerror(result.error),
                                  named ? ": " : "", named ? result.name : "", named ? " " : "",
                                  named ? result.why : "", left,
                                  result.left_is_named ? result.left : ""));
}
