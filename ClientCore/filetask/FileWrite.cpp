#include "filetask/FileWrite.h"

namespace qek {

Status WriteAll(HANDLE file, const void* data, DWORD length)
{
    DWORD written = 0;
    if (!WriteFile(file, data, length, &written, nullptr)) {
        return Status::LastError(ERROR_DISK_FULL);
    }
    return written == length ? Status::Ok() : Status::Failure(ERROR_DISK_FULL);
}

} // namespace qek
