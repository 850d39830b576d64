// The local copies of a directory sync task: each file downloaded into the
// primary root goes on to the same place under every copy root, so that it
// crosses the network once however many drives hold the directory.
#pragma once

#include "base/Status.h"
#include "dirsync/SyncRoots.h"
#include "filetask/HeldFolders.h"

#include <vector>

namespace qek {

// The copies of one task: each copy root's folders are held (FolderChain) as
// the copies go, from the drive's root down to the folder of the file being
// copied.
class RootCopies {
public:
    explicit RootCopies(const SyncRoots& roots);

    // Copies the downloaded file `name` (a check-list name: a backslash, then
    // the path below the root) from the primary root to each copy root, in
    // list order, overwriting what is there and creating the missing parent
    // folders. Like a download, a copy never writes through a link below the
    // copy root or at the file's place, nor into a file of another name (it
    // is written through its own checked handle: OpenToWrite), and gives a
    // read-only, hidden or system file in its way normal attributes. A copy
    // that fails is logged and does not stop the task.
    //
    // Fails with ERROR_FILENAME_EXCED_RANGE (logged, nothing copied) when the
    // source or a destination does not fit its 256-byte buffer.
    Status Copy(const char* name);

private:
    const SyncRoots& roots_;
    std::vector<FolderChain> copies_; // one per copy root
};

// One copy of `name` to every copy root, as RootCopies::Copy.
Status CopyToRoots(const SyncRoots& roots, const char* name);

} // namespace qek
