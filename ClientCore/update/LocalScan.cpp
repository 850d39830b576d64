#include "update/LocalScan.h"

#include "maintenance/DeleteTree.h"
#include "update/UpdatePaths.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr size_t kPatternSize = 256;
constexpr size_t kEntryPathSize = 512;

bool IsSkippedName(const char* name)
{
    return std::strcmp(name, ".") == 0 || std::strncmp(name, "..", 2) == 0;
}

bool HasBit(DWORD attributes, DWORD bit)
{
    return (attributes & bit) != 0;
}

// The entry's path: "%s%s\" for a directory, "%s%s" for anything else.
bool EntryPath(char (&path)[kEntryPathSize], const char* directory, const WIN32_FIND_DATAA& entry)
{
    if (!JoinPath(path, directory, entry.cFileName)) {
        return false;
    }
    if (HasBit(entry.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY)) {
        const size_t length = std::strlen(path);
        if (length + 1 >= kEntryPathSize) {
            return false;
        }
        path[length] = '\\';
        path[length + 1] = '\0';
    }
    return true;
}

void DeleteUnlisted(const char* path, DWORD attributes)
{
    if (HasBit(attributes, FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveLinkAt(path);
    } else if (HasBit(attributes, FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteTree(path);
    } else {
        DeleteFileA(path);
    }
}

// Handles one entry of a listing; 1 to go on, anything else ends the scan.
int ScanEntry(const char* directory, const char* root, const WIN32_FIND_DATAA& entry, FileList& fileList,
              int allowDelete)
{
    char path[kEntryPathSize];
    if (!EntryPath(path, directory, entry)) {
        return 0;
    }
    const DWORD attributes = entry.dwFileAttributes;
    const bool link = HasBit(attributes, FILE_ATTRIBUTE_REPARSE_POINT);
    if (HasBit(attributes, FILE_ATTRIBUTE_DIRECTORY) && !link) {
        const int below = ScanLocalDirectory(path, root, fileList, allowDelete);
        if (below != 1) {
            return below;
        }
    }
    const char* rootInPath = std::strstr(path, root);
    if (rootInPath == nullptr) {
        return 0;
    }
    const char* key = rootInPath + std::strlen(root) - 1;
    const QELDtFile* record = fileList.Find(key);
    if (record == nullptr) {
        if (allowDelete != 0) {
            DeleteUnlisted(path, attributes);
        }
    } else if (!link && IsLocalFileCurrent(*record, path) == 1) {
        fileList.Erase(key);
    }
    return 1;
}

} // namespace

int ScanLocalDirectory(const char* directory, const char* root, FileList& fileList, int allowDelete)
{
    if (root[0] == '\0') {
        return 0;
    }
    char pattern[kPatternSize];
    if (!JoinPath(pattern, directory, "*.*")) {
        return 0;
    }
    WIN32_FIND_DATAA entry{};
    HANDLE listing = FindFirstFileA(pattern, &entry);
    if (listing == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int result = 1;
    Sleep(1);
    do {
        if (IsSkippedName(entry.cFileName)) {
            continue;
        }
        result = ScanEntry(directory, root, entry, fileList, allowDelete);
    } while (result == 1 && FindNextFileA(listing, &entry));
    FindClose(listing);
    return result;
}

int IsLocalFileCurrent(const QELDtFile& record, const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    FILETIME lastWrite{};
    DWORD sizeHigh = 0;
    SetLastError(NO_ERROR);
    const bool timeRead = GetFileTime(file, nullptr, nullptr, &lastWrite) != FALSE;
    const DWORD sizeLow = GetFileSize(file, &sizeHigh);
    const bool sizeRead = sizeLow != INVALID_FILE_SIZE || GetLastError() == NO_ERROR;
    CloseHandle(file);
    return timeRead && sizeRead && lastWrite.dwHighDateTime == record.lastWriteTime.highDateTime &&
                   lastWrite.dwLowDateTime == record.lastWriteTime.lowDateTime && sizeHigh == record.sizeHigh &&
                   sizeLow == record.sizeLow
               ? 1
               : 0;
}
