// The local copies of a directory sync task: each file downloaded into the
// primary root goes on to the same place under every copy root, so that it
// crosses the network once however many drives hold the directory.
#pragma once

#include "base/Status.h"
#include "dirsync/SyncRoots.h"

namespace qek {

// Copies the downloaded file `name` (a check-list name: a backslash, then the
// path below the root) from the primary root to each copy root, in list
// order, overwriting what is there and creating the missing parent
// directories. Like a download, a copy replaces a link planted below the copy
// root instead of writing through it, and gives a read-only, hidden or system
// file in its way normal attributes and tries once more. A copy that still
// fails is logged and does not stop the task.
//
// Fails with ERROR_FILENAME_EXCED_RANGE (logged, nothing copied) when the
// source or a destination does not fit its 256-byte buffer.
Status CopyToRoots(const SyncRoots& roots, const char* name);

} // namespace qek
