#include "filetask/LocalScan.h"

#include "base/Owners.h"
#include "filetask/DeleteTree.h"
#include "filetask/WriteGuards.h"

#include <windows.h>

#include <cstring>

namespace qek {

namespace {

constexpr size_t kPatternSize = kPathBufferSize; // a folder of kClientFolderPathBytes and "*.*"
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

// Whether the listed file is current by what the listing says of it: the size
// and last-write time that the directory keeps, which FindFirstFileA and
// FindNextFileA return without opening the file. A listing without a time
// cannot answer; the file itself is asked then. A directory is never current.
bool IsListedFileCurrent(const QELDtFile& record, const WIN32_FIND_DATAA& entry, const char* path)
{
    if (HasBit(entry.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY)) {
        return false;
    }
    const FILETIME& time = entry.ftLastWriteTime;
    if (time.dwLowDateTime == 0 && time.dwHighDateTime == 0) {
        return IsLocalFileCurrent(record, path);
    }
    return time.dwHighDateTime == record.lastWriteTime.highDateTime &&
           time.dwLowDateTime == record.lastWriteTime.lowDateTime && entry.nFileSizeHigh == record.sizeHigh &&
           entry.nFileSizeLow == record.sizeLow;
}

void DeleteUnlisted(const char* path, DWORD attributes)
{
    // Done as well as it goes: an entry that cannot be removed stays, and the
    // update goes on.
    if (HasBit(attributes, FILE_ATTRIBUTE_REPARSE_POINT)) {
        static_cast<void>(RemoveLinkAt(path));
    } else if (HasBit(attributes, FILE_ATTRIBUTE_DIRECTORY)) {
        static_cast<void>(DeleteTree(path));
    } else {
        DeleteFileA(path);
    }
}

// Handles one entry of a listing; false ends the scan.
bool ScanEntry(const char* directory, const char* root, const WIN32_FIND_DATAA& entry, FileList& fileList,
               DeletePolicy deletePolicy)
{
    char path[kEntryPathSize];
    if (!EntryPath(path, directory, entry)) {
        return false;
    }
    const DWORD attributes = entry.dwFileAttributes;
    const bool link = HasBit(attributes, FILE_ATTRIBUTE_REPARSE_POINT);
    if (HasBit(attributes, FILE_ATTRIBUTE_DIRECTORY) && !link) {
        if (!ScanLocalDirectory(path, root, fileList, deletePolicy)) {
            return false;
        }
    }
    const char* rootInPath = std::strstr(path, root);
    if (rootInPath == nullptr) {
        return false;
    }
    const char* key = rootInPath + std::strlen(root) - 1;
    const QELDtFile* record = fileList.Find(key);
    if (record == nullptr) {
        if (deletePolicy == DeletePolicy::DeleteUnlisted) {
            DeleteUnlisted(path, attributes);
        }
    } else if (!link && IsListedFileCurrent(*record, entry, path)) {
        fileList.Erase(key);
    }
    return true;
}

} // namespace

bool ScanLocalDirectory(const char* directory, const char* root, FileList& fileList, DeletePolicy deletePolicy)
{
    if (root[0] == '\0') {
        return false;
    }
    char pattern[kPatternSize];
    if (!JoinPath(pattern, directory, "*.*")) {
        return false;
    }
    WIN32_FIND_DATAA entry{};
    const UniqueFindHandle listing(FindFirstFileA(pattern, &entry));
    if (!listing.IsValid()) {
        return false;
    }
    bool goOn = true;
    // One pause of 1 ms per folder listed: the scan runs on a PC that is in
    // use, through every folder of a game, and gives the disk and the other
    // programs room between two listings (a game of 500 folders: half a
    // second).
    Sleep(1);
    do {
        if (IsSkippedName(entry.cFileName)) {
            continue;
        }
        goOn = ScanEntry(directory, root, entry, fileList, deletePolicy);
    } while (goOn && FindNextFileA(listing.Get(), &entry));
    return goOn;
}

bool IsLocalFileCurrent(const QELDtFile& record, const char* path)
{
    const UniqueHandle file(
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return false;
    }
    FILETIME lastWrite{};
    DWORD sizeHigh = 0;
    SetLastError(NO_ERROR);
    const bool timeRead = GetFileTime(file.Get(), nullptr, nullptr, &lastWrite) != FALSE;
    const DWORD sizeLow = GetFileSize(file.Get(), &sizeHigh);
    const bool sizeRead = sizeLow != INVALID_FILE_SIZE || GetLastError() == NO_ERROR;
    return timeRead && sizeRead && lastWrite.dwHighDateTime == record.lastWriteTime.highDateTime &&
           lastWrite.dwLowDateTime == record.lastWriteTime.lowDateTime && sizeHigh == record.sizeHigh &&
           sizeLow == record.sizeLow;
}

} // namespace qek
