// Reception of one listed file: the request, exactly the file's bytes in
// chunks of at most 512 KiB, the write, and the file's size and time.
#pragma once

#include "filetask/FileList.h"
#include "filetask/HeldFolders.h"
#include "filetask/TaskProgress.h"
#include "filetask/WriteMode.h"
#include "protocol/ClientContract.h"
#include "protocol/FileTaskRecords.h"

#include "base/Status.h"
#include "channel/Transport.h"

#include <cstdint>
#include <functional>

namespace qek {

// The receive buffer of a task: 512 KiB, page-aligned (writes without the
// system cache need an aligned buffer and whole sectors).
constexpr uint32_t kReceiveBufferSize = kChunkBytes;

// Both modes take the same arguments and succeed when the file arrived and
// was written in full with the record's size and last-write time; otherwise
// they fail with the first failure: the system error code of the creation, of
// a write (a short write counts as a full disk), of the cut to size or of
// setting the time; or a receive's result, unchanged. The local path is the
// root of `folders` followed directly by the record's name; a name that is
// not safe, or a path beyond 255 characters, fails before anything is
// created or sent. The folders on the way are held (FolderChain), a link in
// place of one replaced by a real folder; the file is opened by OpenToWrite:
// never through a link or into a file of more than one name. A failure to
// open is logged with the path.
//
// The record becomes the file `progress` names; its request is built from
// `progress` when it is sent.
//
// ReceiveFileUnbuffered writes without the system file cache, whole 512 KiB
// blocks from the buffer, then cuts the file to its size; it logs each
// success. ReceiveFileBuffered gives the file its final size first and writes
// each chunk through the cache.
Status ReceiveFileUnbuffered(RavelnetConnection connection, const TaskParams& params, const QELDtFile& record,
                             TaskProgress& progress, void* buffer, FolderChain& folders);
Status ReceiveFileBuffered(RavelnetConnection connection, const TaskParams& params, const QELDtFile& record,
                           TaskProgress& progress, void* buffer, FolderChain& folders);

// What a task does with each file once it has arrived (the directory sync
// copies it to its other roots); a failure ends the downloads with it.
using AfterFileReceived = std::function<Status(const QELDtFile& record)>;

// Takes the receive buffer (its failure logged), then fetches every file of
// `fileList` in order below the root of `folders`, written in `mode`, counting
// each as done in `progress` after `afterEach`; a listed directory is held
// on the way (one that could not be made fails there). Ends at the first
// failure, logged with the entry's name; nothing more is requested after it.
Status DownloadListedFiles(RavelnetConnection connection, WriteMode mode, const TaskParams& params,
                           const FileList& fileList, TaskProgress& progress, FolderChain& folders,
                           const AfterFileReceived& afterEach = {});

} // namespace qek
