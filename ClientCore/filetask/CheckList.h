// The server's check list: received into a local file, mapped, and turned
// into the FileList of what the task must create and fetch.
#pragma once

#include "filetask/FileList.h"
#include "filetask/LocalScan.h"
#include "filetask/TaskProgress.h"
#include "protocol/ClientContract.h"
#include "protocol/FileTaskRecords.h"

#include "base/Owners.h"
#include "base/Status.h"
#include "channel/Transport.h"

namespace qek {

// The check list as the task holds it: the file it was received into, the
// mapping and the read-only view of it, and the index of its records
// (entries point into the view). One owner, so that the index never outlives
// the view nor the view its file; whatever way a task leaves, the list is let
// go in that order.
class ReceivedCheckList {
public:
    ReceivedCheckList() = default;
    ~ReceivedCheckList() { ReleaseCheckList(); }
    ReceivedCheckList(const ReceivedCheckList&) = delete;
    ReceivedCheckList& operator=(const ReceivedCheckList&) = delete;

    FileList& Entries() { return entries_; }
    const FileList& Entries() const { return entries_; }
    // The mapped bytes the entries point into; null when nothing is mapped.
    const char* Bytes() const { return static_cast<const char*>(view_.Get()); }

    // Opens the file at `path` and maps it whole, read-only. Returns the
    // view and its length, or nullptr (then nothing is held); replaces what
    // was held.
    const char* Map(const char* path, uint64_t& length);

    // Empties the index, unmaps the view, closes the mapping and then the
    // file. Safe to call again.
    void ReleaseCheckList();

private:
    FileList entries_;
    UniqueView view_;
    UniqueHandle mapping_;
    UniqueHandle file_;
};

// Whether the analysis compares the local files with the list (the server
// may ask for every listed file to be fetched whatever is there).
enum class LocalCompare { Compare, Skip };

// What the server asks for in the task's parameters: any value but 0 skips
// the comparison.
inline LocalCompare LocalCompareOf(const TaskParams& params)
{
    return params.skipLocalCompare != 0 ? LocalCompare::Skip : LocalCompare::Compare;
}

// Receives `params.checkListSize` bytes from the connection into
// `checkFilePath` (created or truncated), in chunks of at most 512 KiB, then
// runs AnalyseCheckFile with `params.gamePath` as the root. Fails with the
// first failure: the system error code when the file cannot be created or a
// chunk cannot be written in full (no analysis then runs on a short file),
// ERROR_NOT_ENOUGH_MEMORY without a receive buffer, a receive's result, or
// the analysis' result. Logs only the completed reception.
Status ReceiveCheckFile(RavelnetConnection connection, const char* checkFilePath, const TaskParams& params,
                        ReceivedCheckList& list, TaskProgress& progress, DeletePolicy deletePolicy,
                        LocalCompare compare);

// Whether a check list of `size` bytes fits in the free space of the drive
// that holds `folder` (a file already at `checkFilePath` counts as free: it
// is replaced). When it does not, logs so and returns false: the task ends
// before a byte of the list is received. A drive that cannot tell its free
// space is left to the writes to tell.
bool CheckListFitsOnDisk(const char* folder, const char* checkFilePath, uint32_t size);

// Resets `progress`, maps the check file into `list` and indexes its records
// up to the first one without the tag (that record ends the analysis with
// success: no scan, no directory, no totals). Then, unless `compare` is
// Skip, the local scan strikes out current files (and with DeleteUnlisted
// deletes what the list does not name), the listed directories are created
// below `root`, and the files left are counted into `progress`.
//
// Fails with 110024 when the check file cannot be mapped (an empty one
// included); ERROR_INVALID_NAME for a record whose name could lead outside
// `root` (see IsSafeEntryName), and ERROR_FILENAME_EXCED_RANGE for one whose
// path below `root` does not fit 255 characters. Such a record fails the whole
// analysis before anything on disk is compared, deleted or created: a list
// that cannot be honoured in full is not honoured in part. A list too large
// for the process' memory gives ERROR_NOT_ENOUGH_MEMORY.
Status AnalyseCheckFile(const char* checkFilePath, const char* root, ReceivedCheckList& list, TaskProgress& progress,
                        DeletePolicy deletePolicy, LocalCompare compare);

} // namespace qek
