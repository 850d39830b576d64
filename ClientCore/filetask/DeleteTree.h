// Recursive removal of a file or a directory tree, shared by the delete game
// task and the update task's local scan.
#pragma once

#include "base/Status.h"

namespace qek {

// Removes `path` with everything below it. The entry is opened as itself
// (never through a link) and checked on that handle; the caller holds the
// folder that contains it.
//
// - A directory: held (as a FolderChain holds one) while its entries are
//   removed one by one (an entry that cannot be removed stays, and the walk
//   goes on; a folder is only descended into when it was opened and found a
//   folder), its read-only attribute is cleared, then it is opened again to
//   be removed, through that handle, when it is still the same folder.
//   Succeeds when the directory is gone; fails when it cannot be listed or
//   removed.
// - A link (symbolic link, junction, a POSIX symlink) or a file: removed as
//   itself, never followed, so that nothing outside the tree is touched.
//
// A failure carries the system error code of the call that failed (the
// open's when nothing is at `path`).
//
// Files are removed without touching their attributes: a read-only file
// stays, and with it every directory above it inside the tree.
Status DeleteTree(const char* path);

} // namespace qek
