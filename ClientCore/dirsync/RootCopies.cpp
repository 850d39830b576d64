#include "dirsync/RootCopies.h"

#include "base/LogFile.h"
#include "base/SystemNames.h"
#include "filetask/WriteGuards.h"

#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <vector>

namespace qek {

namespace {

struct CopyPath {
    char text[kPathBufferSize];
};

// Creates the directory that will hold `destination`, with its parents.
void CreateParentDirectory(const CopyPath& destination)
{
    CopyPath parent = destination;
    const size_t lastBackslash = SystemNames().FindLastCharacter(parent.text, '\\');
    if (lastBackslash == std::string_view::npos) {
        return;
    }
    parent.text[lastBackslash] = '\0';
    SHCreateDirectoryExA(nullptr, parent.text, nullptr);
}

void CopyToRoot(const CopyPath& source, const CopyPath& destination, const std::string& root, const char* name)
{
    // A link below the copy root would take the copy elsewhere, or back onto
    // the source; a hard link at its place would carry the bytes (and the
    // attribute reset below) into another file.
    Status unlinked = ReplaceLinksBelowRoot(root.c_str(), name);
    if (unlinked.IsOk()) {
        unlinked = RemoveSharedFileAt(destination.text);
    }
    if (unlinked.Failed()) {
        Log(ModuleLog(), "QEK_CORE: 复制文件%s失败(%d)", destination.text, unlinked.Code());
        return;
    }
    CreateParentDirectory(destination);
    if (CopyFileA(source.text, destination.text, FALSE)) {
        return;
    }
    SetFileAttributesA(destination.text, FILE_ATTRIBUTE_NORMAL);
    if (CopyFileA(source.text, destination.text, FALSE)) {
        return;
    }
    Log(ModuleLog(), "QEK_CORE: 复制文件%s失败(%d)", destination.text, static_cast<int>(GetLastError()));
}

} // namespace

Status CopyToRoots(const SyncRoots& roots, const char* name)
{
    const char* belowRoot = name + 1; // the roots end with the backslash the name begins with
    CopyPath source;
    if (!JoinPath(source.text, roots.primary.c_str(), belowRoot)) {
        Log(ModuleLog(), "QEK_CORE: 复制文件路径过长(%s)(%s)", roots.primary.c_str(), name);
        return Status::Failure(ERROR_FILENAME_EXCED_RANGE);
    }
    std::vector<CopyPath> destinations(roots.copies.size());
    for (size_t i = 0; i < roots.copies.size(); ++i) {
        if (!JoinPath(destinations[i].text, roots.copies[i].c_str(), belowRoot)) {
            Log(ModuleLog(), "QEK_CORE: 复制文件路径过长(%s)(%s)", roots.copies[i].c_str(), name);
            return Status::Failure(ERROR_FILENAME_EXCED_RANGE);
        }
    }
    for (size_t i = 0; i < roots.copies.size(); ++i) {
        CopyToRoot(source, destinations[i], roots.copies[i], name);
    }
    return Status::Ok();
}

} // namespace qek
