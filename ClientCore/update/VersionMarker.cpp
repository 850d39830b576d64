#include "update/VersionMarker.h"

#include "base/Owners.h"
#include "base/Paths.h"
#include "filetask/FileWrite.h"
#include "filetask/HeldFolders.h"

#include <windows.h>

#include <cstring>
#include <string>

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

Status WriteGameVersion(FolderChain& game, const char* version)
{
    char path[kMarkerPathSize];
    if (!JoinPath(path, game.Root().c_str(), kVersionMarkerName)) {
        return Status::Failure(ERROR_FILENAME_EXCED_RANGE);
    }
    // The marker's own spelling is held: on a system whose names differ by
    // case, "tarnGameVer" can be another entry than "tarngamever".
    if (const Status held = game.HoldBelowRoot(FolderOfName(std::string("\\") + kVersionMarkerName)); held.Failed()) {
        return held;
    }
    UniqueHandle marker;
    if (const Status opened =
            OpenToWrite(path, GENERIC_READ | GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL, ProtectedFile::Refused, marker);
        opened.Failed()) {
        return opened;
    }
    const DWORD length = static_cast<DWORD>(std::strlen(version));
    const Status written = length != 0 ? WriteAll(marker.Get(), version, length) : Status::Ok();
    if (written.Failed()) {
        static_cast<void>(RemoveHeld(std::move(marker))); // part of a version is no version
    }
    return written;
}

} // namespace qek
