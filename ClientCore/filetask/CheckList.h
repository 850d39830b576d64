// The server's check list: received into a local file, mapped, and turned
// into the FileList of what the task must create and fetch.
#pragma once

#include "filetask/FileList.h"
#include "protocol/FileTaskRecords.h"

#include "base/Owners.h"
#include "base/Status.h"
#include "channel/Transport.h"

#include <vector>

namespace qek {

// What the analysis opened and mapped, released by ReleaseCheckList or when
// the lists go: the mapping object, then the check file; and the view of the
// check file.
using HandleList = std::vector<UniqueHandle>;
using ViewList = std::vector<UniqueView>;

// Receives `params.checkListSize` bytes from the connection into
// `checkFilePath` (created or truncated), in chunks of at most 512 KiB, then
// runs AnalyseCheckFile with `params.gamePath` as the root. Fails with the
// first failure: the system error code when the file cannot be created or a
// chunk cannot be written in full (no analysis then runs on a short file),
// ERROR_NOT_ENOUGH_MEMORY without a receive buffer, a receive's result, or
// the analysis' result. Logs only the completed reception.
Status ReceiveCheckFile(RavelnetConnection connection, const char* checkFilePath, const TaskParams& params,
                        FileList& fileList, HandleList& handles, ViewList& views, FileRequest& request, int allowDelete,
                        int skipLocalCompare);

// Whether a check list of `size` bytes fits in the free space of the drive
// that holds `folder` (a file already at `checkFilePath` counts as free: it
// is replaced). When it does not, logs so and returns false: the task ends
// before a byte of the list is received. A drive that cannot tell its free
// space is left to the writes to tell.
bool CheckListFitsOnDisk(const char* folder, const char* checkFilePath, uint32_t size);

// Clears `request`, maps the check file and fills `fileList` with its records
// up to the first one without the tag (that record ends the analysis with
// success: no scan, no directory, no totals). Then, unless `skipLocalCompare`, the
// local scan strikes out current files (and with `allowDelete` deletes what
// the list does not name), the listed directories are created below `root`,
// and the files left are counted into `request`.
//
// Fails with 110024 when the check file cannot be mapped (an empty one
// included); ERROR_INVALID_NAME for a record whose name could lead outside
// `root` (see IsSafeEntryName), and ERROR_FILENAME_EXCED_RANGE for one whose
// path below `root` does not fit 255 characters. Such a record fails the whole
// analysis before anything on disk is compared, deleted or created: a list
// that cannot be honoured in full is not honoured in part. A list too large
// for the process' memory gives ERROR_NOT_ENOUGH_MEMORY.
Status AnalyseCheckFile(const char* checkFilePath, const char* root, FileList& fileList, HandleList& handles,
                        ViewList& views, FileRequest& request, int allowDelete, int skipLocalCompare);

// Unmaps the views, closes the handles in the order recorded and empties the
// three containers. Safe to call again.
void ReleaseCheckList(FileList& fileList, HandleList& handles, ViewList& views);

} // namespace qek
