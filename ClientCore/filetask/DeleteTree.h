// Recursive removal of a file or a directory tree, shared by the delete game
// task and the update task's local scan.
#pragma once

#include "base/Status.h"

namespace qek {

// Removes `path` with everything below it.
//
// - A directory: its entries are removed one by one (an entry that cannot be
//   removed stays, and the walk goes on), its read-only attribute is cleared,
//   then the directory itself is removed. Succeeds when the directory is
//   gone; fails when it cannot be listed or removed.
// - Anything else (a file, or a path whose attributes cannot be read): deleted
//   as a file, with DeleteFileA's result.
// - A link (an entry with the reparse-point attribute: symbolic link,
//   junction, a POSIX symlink): removed as a link and never followed, so that
//   nothing outside the tree is touched, with the removal's result.
//
// A failure carries the system error code of the call that failed.
//
// Files are deleted without touching their attributes: a read-only file stays,
// and with it every directory above it inside the tree.
Status DeleteTree(const char* path);

} // namespace qek
