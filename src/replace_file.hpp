// Replacing a small file the tool owns, mostly so that readers and runs at
// the same time in the same directory see the old text or one run's new text
// whole, never a mix or an empty file, and a failed write leaves the old file
// be; where it must write in place, a failed write leaves the file cut short.
#ifndef KESTRIG_REPLACE_FILE_HPP
#define KESTRIG_REPLACE_FILE_HPP

#include <string_view>

// Makes the file at `path` hold exactly `text` and returns 0, or the errno of
// the first failure.
//
// A regular file of this user with one link that already holds exactly
// `text` is left as it is, inode, bits and group, and only gets the current
// time as its access and modification times: repeated runs cost less and
// leave the file untouched. (A run at the same time that finds its own text
// there counts as having written it.)
//
// Otherwise it mostly writes a new file beside `path`, created exclusively
// under a name of its own that nobody can guess, ".NAME." and 16 random
// hexadecimal digits, and renames it over `path`. On failure that file is
// removed and the old one stays as it was; should the old file not go
// after the swap, that is the error. An existing file keeps its permission
// bits and group; a new one gets 0666 less the umask.
//
// It writes in place through open(2) instead, truncating, where a rename
// would change what the file is or cannot be done: `path` is a symbolic link
// (which stays a link), not a regular file, belongs to another user, keeps
// a group the new file cannot have, has more than one link outside a shared
// folder, or no file may be created beside it (nor a random name be had or
// found free). That open does not block: a FIFO with no reader is an error
// (ENXIO), not a hang. Links are followed one by one, and each link on the
// way and the name it ends at are judged in their own folders as below; the
// folders on the way are taken as the system finds them.
//
// In a folder with the sticky bit that its group or others may write to
// (/tmp, a team's drop folder), a name there that belongs to neither this
// user nor the folder's owner is not written through, whatever the
// system's own settings: a symbolic link, FIFO or regular file. That is
// EACCES, and nothing is changed. A file of this user's with more than one
// link is replaced there, so that the other names keep the old contents.
//
// Nothing is synced to disk: the callers' files are derived data that a
// rerun makes again.
int replace_file(const char* path, std::string_view text);

#endif  // KESTRIG_REPLACE_FILE_HPP
