#include "update/VersionMarker.h"

#include "update/UpdatePaths.h"

#include <windows.h>

#include <cstring>

const char kGameVersionMarkerName[] = "tarnGameVer\\tarnGameVer.txt";

namespace {

constexpr size_t kMarkerPathSize = 512;

HANDLE OpenMarker(const char* path, DWORD disposition)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

void ReadGameVersion(const char* gameDirectory, char* buffer, size_t size)
{
    std::memset(buffer, 0, size);
    char path[kMarkerPathSize];
    if (!JoinPath(path, gameDirectory, kGameVersionMarkerName)) {
        return;
    }
    HANDLE marker = OpenMarker(path, OPEN_EXISTING);
    if (marker == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD sizeHigh = 0;
    const DWORD sizeLow = GetFileSize(marker, &sizeHigh);
    // The whole 64-bit size counts: a marker of 4 GiB and 3 bytes is not a
    // marker of 3 bytes.
    const bool fits = sizeLow != INVALID_FILE_SIZE && sizeHigh == 0 && sizeLow < size;
    if (fits && sizeLow > 0) {
        DWORD read = 0;
        if (!ReadFile(marker, buffer, sizeLow, &read, nullptr) || read != sizeLow) {
            std::memset(buffer, 0, size); // part of a version is no version
        }
    }
    CloseHandle(marker);
}

void WriteGameVersion(const char* gameDirectory, const char* version)
{
    char path[kMarkerPathSize];
    if (!JoinPath(path, gameDirectory, kGameVersionMarkerName)) {
        return;
    }
    DeleteFileA(path);
    HANDLE marker = OpenMarker(path, CREATE_ALWAYS);
    if (marker == INVALID_HANDLE_VALUE) {
        return;
    }
    const DWORD length = static_cast<DWORD>(std::strlen(version));
    DWORD written = 0;
    const bool complete = length == 0 || (WriteFile(marker, version, length, &written, nullptr) && written == length);
    CloseHandle(marker);
    if (!complete) {
        DeleteFileA(path);
    }
}
