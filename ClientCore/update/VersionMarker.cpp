#include "update/VersionMarker.h"

#include "base/Owners.h"
#include "filetask/FileWrite.h"
#include "filetask/WriteGuards.h"

#include <windows.h>

#include <cstring>

namespace qek {

namespace {

constexpr size_t kMarkerPathSize = 512;

UniqueHandle OpenMarker(const char* path, DWORD disposition)
{
    return UniqueHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace

void ReadGameVersion(const char* gameDirectory, char* buffer, size_t size)
{
    std::memset(buffer, 0, size);
    char path[kMarkerPathSize];
    if (!JoinPath(path, gameDirectory, kVersionMarkerName)) {
        return;
    }
    const UniqueHandle marker = OpenMarker(path, OPEN_EXISTING);
    if (!marker.IsValid()) {
        return;
    }
    DWORD sizeHigh = 0;
    const DWORD sizeLow = GetFileSize(marker.Get(), &sizeHigh);
    // The whole 64-bit size counts: a marker of 4 GiB and 3 bytes is not a
    // marker of 3 bytes.
    const bool fits = sizeLow != INVALID_FILE_SIZE && sizeHigh == 0 && sizeLow < size;
    if (fits && sizeLow > 0) {
        DWORD read = 0;
        if (!ReadFile(marker.Get(), buffer, sizeLow, &read, nullptr) || read != sizeLow) {
            std::memset(buffer, 0, size); // part of a version is no version
        }
    }
}

Status WriteGameVersion(const char* gameDirectory, const char* version)
{
    char path[kMarkerPathSize];
    if (!JoinPath(path, gameDirectory, kVersionMarkerName)) {
        return Status::Failure(ERROR_FILENAME_EXCED_RANGE);
    }
    // The marker's own spelling is looked at: on a system whose names differ
    // by case, "tarnGameVer" can be another entry than "tarngamever".
    Status unlinked = ReplaceLinksBelowRoot(gameDirectory, kVersionMarkerName);
    if (unlinked.IsOk()) {
        unlinked = RemoveSharedFileAt(path);
    }
    if (unlinked.Failed()) {
        return unlinked;
    }
    DeleteFileA(path);
    Status written = Status::Ok();
    {
        const UniqueHandle marker = OpenMarker(path, CREATE_ALWAYS);
        if (!marker.IsValid()) {
            return Status::LastError(ERROR_ACCESS_DENIED);
        }
        const DWORD length = static_cast<DWORD>(std::strlen(version));
        if (length != 0) {
            written = WriteAll(marker.Get(), version, length);
        }
    }
    if (written.Failed()) {
        DeleteFileA(path);
    }
    return written;
}

} // namespace qek
