// The write guards of the file tasks: the removal of links planted on the way
// to a file that is about to be written, or at its place, and of files that
// share their data with another name.
#pragma once

#include "base/Owners.h"
#include "base/Paths.h"
#include "base/Status.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qek {

// Removes the link (reparse point) at `path` itself, never what it points to:
// a directory link as a directory, a file link as a file. `path` may end in a
// backslash. Succeeds when the path is not a link or the link is gone; else
// fails with the system error code of the removal, or of reading the
// attributes when the entry cannot be looked at (not finding it is no failure).
Status RemoveLinkAt(const char* path);

// Makes sure that writing `root` + `name` goes through no link below `root`:
// every existing component of `name` that is a link is removed; a link in the
// place of a parent directory is replaced by a new, empty directory, so that
// the entry can be created where the list puts it. Links at the root itself
// and above it are not looked at here: the tasks refuse a root reached through
// one that is not an administrator's or the system's (LinkOwners.h) before
// they write anything. Fails with the system error code when a link could not
// be replaced, or when an entry on the way cannot be looked at.
Status ReplaceLinksBelowRoot(const char* root, const char* name);

// The same for the folders of `name` only, not its final component: for a
// file that is then opened by CreateNewFileAt, which never goes through a
// link at its own name.
Status ReplaceLinksInFoldersBelowRoot(const char* root, const char* name);

// Creates the file `path` for writing when nothing is there under any case
// (CREATE_NEW): such a file is a file of its own, since creating a name never
// follows a link at it and what it makes has no other name, so neither
// RemoveLinkAt nor RemoveSharedFileAt is needed for it. Returns no handle when
// anything is there (a file, a folder, a link, even a dangling one) or the
// creation fails for any other reason: the caller then takes the path of an
// existing entry, which makes it safe first and reports what fails.
UniqueHandle CreateNewFileAt(const char* path, DWORD flagsAndAttributes);

// Makes sure that a file created at `path` is a file of its own: an existing
// file there that shares its data with another name (a hard link, which
// anyone who can write to the folder can plant) is removed first, so that
// neither the write nor the attribute reset of a retry reaches the other
// name. Its attributes are not touched: one that cannot be removed (read-only)
// fails with the system error code. Nothing there, or a file of one name, is
// left as it is.
Status RemoveSharedFileAt(const char* path);

} // namespace qek
