#include "filetask/DeleteTree.h"

#include "base/Owners.h"
#include "base/SystemNames.h"
#include "filetask/HeldFolders.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace qek {

namespace {

bool HasAttribute(DWORD attributes, DWORD bit)
{
    return (attributes & bit) != 0;
}

// "dir\name", without doubling a backslash that the directory already ends
// with (character by character: "D:\games\淺" ends in 淺, whose second byte is
// that of a backslash).
std::string ChildPath(const std::string& directory, const char* name)
{
    return SystemNames().EndsWithCharacter(directory, '\\') ? directory + name : directory + '\\' + name;
}

bool IsDotEntry(const char* name)
{
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Removes every entry of the held folder `directory`; false when it cannot
// be listed. Results are ignored: an entry that cannot be removed stays and
// the walk goes on.
bool RemoveContents(const std::string& directory)
{
    const std::string pattern = ChildPath(directory, "*.*");
    WIN32_FIND_DATAA entry{};
    const UniqueFindHandle search(FindFirstFileA(pattern.c_str(), &entry));
    if (!search.IsValid()) {
        return false;
    }
    do {
        if (!IsDotEntry(entry.cFileName)) {
            static_cast<void>(DeleteTree(ChildPath(directory, entry.cFileName).c_str()));
        }
    } while (FindNextFileA(search.Get(), &entry));
    return true;
}

// A read-only directory cannot be removed: its bit is cleared just before,
// through its handle.
void ClearReadOnly(HANDLE directory, DWORD attributes)
{
    if (!HasAttribute(attributes, FILE_ATTRIBUTE_READONLY)) {
        return;
    }
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = attributes & ~FILE_ATTRIBUTE_READONLY;
    SetFileInformationByHandle(directory, FileBasicInfo, &basic, sizeof(basic));
}

} // namespace

Status DeleteTree(const char* path)
{
    // The entry is opened as itself, with the right to remove it: a link or
    // a file goes through that handle.
    UniqueHandle entry = OpenToRemove(path);
    if (!entry.IsValid()) {
        return Status::LastError(ERROR_FILE_NOT_FOUND);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (const Status read = ReadHeldInformation(entry.Get(), path, info); read.Failed()) {
        return read;
    }
    const DWORD attributes = info.dwFileAttributes;
    if (!HasAttribute(attributes, FILE_ATTRIBUTE_DIRECTORY) || HasAttribute(attributes, FILE_ATTRIBUTE_REPARSE_POINT)) {
        return RemoveHeld(std::move(entry));
    }
    // A folder is emptied while it is held as a folder chain holds one, so
    // that nobody can swap it for a link meanwhile (a handle that may delete
    // it would keep it from being listed under Wine); then it is taken again
    // to be removed, only when it is still the folder that was emptied.
    entry.Reset();
    {
        const UniqueHandle held = OpenFolderToHold(path);
        BY_HANDLE_FILE_INFORMATION heldInfo{};
        if (!held.IsValid() || !GetFileInformationByHandle(held.Get(), &heldInfo)) {
            return Status::LastError(ERROR_ACCESS_DENIED);
        }
        if (!SameFile(info, heldInfo)) {
            return Status::Failure(ERROR_ACCESS_DENIED);
        }
        if (!RemoveContents(path)) {
            return Status::LastError(ERROR_PATH_NOT_FOUND);
        }
        ClearReadOnly(held.Get(), attributes);
    }
    entry = OpenToRemove(path);
    BY_HANDLE_FILE_INFORMATION emptied{};
    if (!entry.IsValid() || !GetFileInformationByHandle(entry.Get(), &emptied)) {
        return Status::LastError(ERROR_ACCESS_DENIED);
    }
    if (!SameFile(info, emptied)) {
        return Status::Failure(ERROR_ACCESS_DENIED);
    }
    return RemoveHeld(std::move(entry));
}

} // namespace qek
