// The progress of one file task (game update, directory sync) as the engine
// keeps it: the totals the analysis found, what is done, and the file the
// last request named. The server learns it from each FileRequest, which
// MakeFileRequest builds from this value when one is sent; nothing else
// writes a FileRequest.
#pragma once

#include "protocol/FileTaskRecords.h"

#include <cstdint>
#include <string>

namespace qek {

struct TaskProgress {
    uint32_t filesToUpdate = 0; // files (not folders) the task fetches
    uint64_t bytesToUpdate = 0; // their bytes
    uint32_t filesDone = 0;     // files written and closed
    uint64_t bytesDone = 0;     // their bytes
    // The file the last request named, which the record keeps until the next
    // one (also in the end-of-task command): its name as the list gives it,
    // and its size.
    std::string currentName;
    uint64_t currentSize = 0;

    // The next file: its name and size go into the following requests.
    void BeginFile(const QELDtFile& record);
    // A file is written and closed: it counts as done.
    void FileDone(uint64_t size);
};

// The record the client sends: `command` (kFileRequestSendFile for the file
// `progress` names, kFileRequestEndOfTask at the end) with the progress in
// its wire form (64-bit counts as halves, the size's bits 32 to 39 as one
// byte).
FileRequest MakeFileRequest(const TaskProgress& progress, uint32_t command);

} // namespace qek
