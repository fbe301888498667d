// Replacing a small file the tool owns, so that readers and runs at the same
// time in the same folder see the old text or one run's new text whole,
// never a mix or an empty file, that a failed write leaves the old file as
// it was, and that nobody else gets hold of the file on the way.
//
// The name is resolved by the tool itself, one component at a time, each
// looked at through a descriptor of the folder it lies in, so that no
// folder is looked up twice and every name on the way is judged where it
// lies: in a folder with the sticky bit that its group or others may write
// to (/tmp, a team's drop folder), a name of any kind, folder, symbolic
// link, FIFO or file, that belongs to neither this user nor the folder's
// owner is not gone through, nor a link or FIFO of anyone's with a second
// name there. Folders that others may write without the
// sticky bit give them every name in them; they are not guarded.
#ifndef KESTRIG_REPLACE_FILE_HPP
#define KESTRIG_REPLACE_FILE_HPP

#include <limits.h>

#include <cstddef>
#include <string_view>

// What became of a replacement.
struct replace_result {
  int error = 0;  // errno of the first failure; 0: the file holds the text
  // With some failures: a name, as the path or link text it came from
  // spells it, and what about it the error means, in a few words. (The
  // two names are left as they are, not cleared, and hold strings only
  // where `why` and `left_is_named` say so.)
  char name[PATH_MAX];
  const char* why = nullptr;
  // After a failure: a file that could not be removed and is left under
  // this name, the new text or (`left_is_old`) the old one.
  char left[PATH_MAX];
  bool left_is_named = false;
  bool left_is_old = false;
};

// Makes the file at `path` hold exactly `text`.
//
// A regular file with one name that already holds exactly `text` is left
// as it is and only gets the current time as its access and modification
// times: repeated runs cost less and leave the file untouched.
//
// Otherwise a new file is made beside it under a name nobody can guess,
// ".NAME." and 16 random hexadecimal digits, born readable and writable by
// this user alone; it is written whole, and only then given the old file's
// group, extended attributes (its access ACL among them) and mode
// (set-user-ID and set-group-ID bits included), and renamed over the name
// `path` leads to. A new
// file, where there was none, gets what creating it would have given
// (0666 less the umask, or the folder's default ACL). On failure the new
// file is removed and the old one stays as it was.
//
// A symbolic link is followed, and stays a link: what it leads to is
// written. Where the new file, so made, would not be what the old one was
// (another owner, or a group, mode or attribute it could not be given),
// the old one is written in place instead, truncated and rewritten through
// open(2); so is what is not a regular file, a file with more than one name
// outside a shared folder, one this user cannot read, and a file in a
// folder that refuses a new one (no permission, read-only, no free name,
// no random number). An in-place write that fails leaves the file cut
// short; set-id bits it takes and cannot give back are EPERM. A FIFO with
// no reader is an error (ENXIO), not a hang. In a shared folder a file
// with more than one name is never written through: it is replaced, or
// refused (EACCES) where it cannot be replaced whole.
//
// A share that refuses to rename over a file another process holds open
// gets the rename again for a moment.
//
// Nothing is synced to disk: the callers' files are derived data that a
// rerun makes again.
replace_result replace_file(const char* path, std::string_view text);

// The failure in words, into `out` (`size` bytes, cut short to fit): the
// system's message for the error, then what it means for the name, and the
// file left behind.
void failure_text(const replace_result& result, char* out, size_t size);

#endif  // KESTRIG_REPLACE_FILE_HPP
