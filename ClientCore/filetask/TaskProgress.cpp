#include "filetask/TaskProgress.h"

#include <algorithm>

namespace qek {

void TaskProgress::BeginFile(const QELDtFile& record)
{
    currentName.assign(RecordName(record));
    currentSize = RecordSize(record);
}

void TaskProgress::FileDone(uint64_t size)
{
    bytesDone += size;
    ++filesDone;
}

FileRequest MakeFileRequest(const TaskProgress& progress, uint32_t command)
{
    FileRequest request{};
    request.command = command;
    request.filesToUpdate = progress.filesToUpdate;
    request.filesDone = progress.filesDone;
    request.bytesToUpdateHigh = HighHalf(progress.bytesToUpdate);
    request.bytesToUpdateLow = LowHalf(progress.bytesToUpdate);
    request.bytesDoneHigh = HighHalf(progress.bytesDone);
    request.bytesDoneLow = LowHalf(progress.bytesDone);
    // A listed name is shorter than the field: the rest stays zero.
    std::copy_n(progress.currentName.data(), std::min(progress.currentName.size(), sizeof(request.fileName) - 1),
                request.fileName);
    request.fileSizeHighByte = static_cast<uint8_t>(progress.currentSize >> 32);
    request.fileSizeLow = LowHalf(progress.currentSize);
    return request;
}

} // namespace qek
