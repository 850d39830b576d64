#include "filetask/DeleteTree.h"

#include "base/Owners.h"
#include "base/SystemNames.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace qek {

namespace {

bool HasAttribute(DWORD attributes, DWORD bit)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & bit) != 0;
}

// Character by character: "D:\games\淺" ends in 淺, whose second byte is
// that of a backslash.
bool EndsWithBackslash(const std::string& path)
{
    return SystemNames().EndsWithCharacter(path, '\\');
}

// "dir\name", without doubling a backslash that the directory already ends with.
std::string ChildPath(const std::string& directory, const char* name)
{
    return EndsWithBackslash(directory) ? directory + name : directory + '\\' + name;
}

bool IsDotEntry(const char* name)
{
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// A link is removed by itself: a directory link (symbolic link or junction to
// a directory) with RemoveDirectoryA, a file link with DeleteFileA. Neither
// touches what the link points to.
Status RemoveLink(const char* path, DWORD attributes)
{
    const BOOL removed =
        HasAttribute(attributes, FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryA(path) : DeleteFileA(path);
    return Status::FromCall(removed, ERROR_ACCESS_DENIED);
}

// One entry found inside a directory being removed. Results are ignored: an
// entry that cannot be removed stays and the walk goes on.
void RemoveEntry(const std::string& fullName, DWORD attributes)
{
    if (HasAttribute(attributes, FILE_ATTRIBUTE_REPARSE_POINT)) {
        static_cast<void>(RemoveLink(fullName.c_str(), attributes));
    } else if (HasAttribute(attributes, FILE_ATTRIBUTE_DIRECTORY)) {
        static_cast<void>(DeleteTree(fullName.c_str()));
    } else {
        DeleteFileA(fullName.c_str());
    }
}

// Removes every entry of `directory`; false when it cannot be listed.
bool RemoveContents(const std::string& directory)
{
    const std::string pattern = EndsWithBackslash(directory) ? directory + "*.*" : directory + "\\*.*";
    WIN32_FIND_DATAA entry{};
    const UniqueFindHandle search(FindFirstFileA(pattern.c_str(), &entry));
    if (!search.IsValid()) {
        return false;
    }
    do {
        if (!IsDotEntry(entry.cFileName)) {
            RemoveEntry(ChildPath(directory, entry.cFileName), entry.dwFileAttributes);
        }
    } while (FindNextFileA(search.Get(), &entry));
    return true;
}

// A read-only directory cannot be removed: clear the bit just before.
void ClearReadOnly(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    if (HasAttribute(attributes, FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
}

} // namespace

Status DeleteTree(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    if (HasAttribute(attributes, FILE_ATTRIBUTE_REPARSE_POINT)) {
        return RemoveLink(path, attributes);
    }
    if (!HasAttribute(attributes, FILE_ATTRIBUTE_DIRECTORY)) {
        return Status::FromCall(DeleteFileA(path), ERROR_FILE_NOT_FOUND);
    }
    if (!RemoveContents(path)) {
        return Status::LastError(ERROR_PATH_NOT_FOUND);
    }
    ClearReadOnly(path);
    return Status::FromCall(RemoveDirectoryA(path), ERROR_DIR_NOT_EMPTY);
}

} // namespace qek
