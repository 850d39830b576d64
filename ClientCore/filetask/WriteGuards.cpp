#include "filetask/WriteGuards.h"

#include "base/SystemNames.h"

#include "base/Owners.h"

#include <cstring>
#include <string>

namespace qek {

namespace {

bool IsLink(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The attributes of `path`; fails when they cannot be read for any other
// reason than that nothing is there (then INVALID_FILE_ATTRIBUTES): an entry
// that cannot be looked at might be a link.
Status ReadAttributes(const char* path, DWORD& attributes)
{
    attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return Status::Ok();
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return Status::Ok();
    }
    return Status::Failure(error != ERROR_SUCCESS ? static_cast<int>(error) : ERROR_ACCESS_DENIED);
}

} // namespace

Status RemoveLinkAt(const char* path)
{
    // Without a trailing backslash, so that the link itself is named and not
    // the directory it leads to.
    const std::string link(SystemNames().TrimTrailingCharacter(path, '\\'));
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    if (const Status read = ReadAttributes(link.c_str(), attributes); read.Failed()) {
        return read;
    }
    if (!IsLink(attributes)) {
        return Status::Ok();
    }
    // A directory link goes with RemoveDirectoryA, a file link with
    // DeleteFileA; the other call is tried when the first one refuses.
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (directory ? RemoveDirectoryA(link.c_str()) : DeleteFileA(link.c_str())) {
        return Status::Ok();
    }
    const Status failure = Status::LastError(ERROR_ACCESS_DENIED);
    if (directory ? DeleteFileA(link.c_str()) : RemoveDirectoryA(link.c_str())) {
        return Status::Ok();
    }
    return failure;
}

namespace {

enum class FinalComponent { Checked, Skipped };

Status ReplaceLinksOnTheWay(const char* root, const char* name, FinalComponent final)
{
    std::string path(root);
    std::string_view rest(name);
    while (!rest.empty() && rest.front() == '\\') {
        rest.remove_prefix(1);
    }
    while (!rest.empty()) {
        const size_t separator = SystemNames().FindCharacter(rest, '\\');
        const bool last = separator == std::string_view::npos || separator + 1 == rest.size();
        if (last && separator == std::string_view::npos && final == FinalComponent::Skipped) {
            break; // a file's own name: left to its creation
        }
        if (!path.empty() && !SystemNames().EndsWithCharacter(path, '\\')) {
            path += '\\';
        }
        path += rest.substr(0, separator);
        DWORD attributes = INVALID_FILE_ATTRIBUTES;
        if (const Status read = ReadAttributes(path.c_str(), attributes); read.Failed()) {
            return read;
        }
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return Status::Ok(); // nothing below exists yet, so no link either
        }
        if (IsLink(attributes)) {
            const Status removed = RemoveLinkAt(path.c_str());
            if (removed.Failed() || last) {
                return removed;
            }
            if (!CreateDirectoryA(path.c_str(), nullptr)) {
                return Status::LastError(ERROR_ACCESS_DENIED);
            }
        }
        if (separator == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(separator + 1);
    }
    return Status::Ok();
}

} // namespace

Status ReplaceLinksBelowRoot(const char* root, const char* name)
{
    return ReplaceLinksOnTheWay(root, name, FinalComponent::Checked);
}

Status ReplaceLinksInFoldersBelowRoot(const char* root, const char* name)
{
    return ReplaceLinksOnTheWay(root, name, FinalComponent::Skipped);
}

UniqueHandle CreateNewFileAt(const char* path, DWORD flagsAndAttributes)
{
    return UniqueHandle(
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW, flagsAndAttributes, nullptr));
}

Status RemoveSharedFileAt(const char* path)
{
    UniqueHandle file(CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return Status::Ok(); // nothing to share with: the creation tells what is wrong
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.Get(), &info)) {
        return Status::LastError(ERROR_ACCESS_DENIED);
    }
    if (info.nNumberOfLinks <= 1 || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Status::Ok();
    }
    file.Reset();
    return Status::FromCall(DeleteFileA(path), ERROR_ACCESS_DENIED);
}

} // namespace qek
