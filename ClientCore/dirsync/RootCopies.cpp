#include "dirsync/RootCopies.h"

#include "base/LogFile.h"
#include "base/Owners.h"
#include "base/Paths.h"
#include "filetask/FileWrite.h"

#include <windows.h>

#include <memory>
#include <new>

namespace qek {

namespace {

constexpr DWORD kCopyChunk = 0x80000;

struct CopyPath {
    char text[kPathBufferSize];
};

// Opens the primary's file to be copied. It was just written, but its name
// is in a folder players can write to: a link or a second name put there
// since would have the client read, with its rights, a file of someone's
// choosing and copy it where players can read it. So it is opened as itself
// and checked on its handle.
Status OpenCopySource(const char* source, UniqueHandle& input)
{
    input = UniqueHandle(CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!input.IsValid()) {
        return Status::LastError(ERROR_FILE_NOT_FOUND);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (const Status read = ReadHeldInformation(input.Get(), source, info); read.Failed()) {
        return read;
    }
    return IsFileOfItsOwn(info) ? Status::Ok() : Status::Failure(ERROR_ACCESS_DENIED);
}

// The bytes and the last-write time of `input` into `destination`, an open
// checked file.
Status CopyContent(HANDLE input, HANDLE destination)
{
    const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyChunk]);
    if (!buffer) {
        return Status::Failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(input, buffer.get(), kCopyChunk, &read, nullptr)) {
            return Status::LastError(ERROR_READ_FAULT);
        }
        if (read == 0) {
            break;
        }
        if (const Status written = WriteAll(destination, buffer.get(), read); written.Failed()) {
            return written;
        }
    }
    FILETIME lastWrite{};
    if (!GetFileTime(input, nullptr, nullptr, &lastWrite)) {
        return Status::LastError(ERROR_ACCESS_DENIED);
    }
    return Status::FromCall(SetFileTime(destination, nullptr, nullptr, &lastWrite), ERROR_ACCESS_DENIED);
}

void CopyToRoot(const CopyPath& source, const CopyPath& destination, FolderChain& root, const char* name)
{
    // The folders on the way are held, a link below the copy root replaced
    // by a real folder; the copy's own name is opened as OpenToWrite does
    // (a link or a hard link there would carry the bytes, and the attribute
    // reset, elsewhere).
    Status copied = root.HoldBelowRoot(FolderOfName(name));
    UniqueHandle input;
    if (copied.IsOk()) {
        copied = OpenCopySource(source.text, input);
    }
    UniqueHandle file;
    if (copied.IsOk()) {
        copied = OpenToWrite(destination.text, GENERIC_WRITE | DELETE, FILE_ATTRIBUTE_NORMAL, ProtectedFile::MadeNormal,
                             file);
    }
    if (copied.IsOk()) {
        copied = CopyContent(input.Get(), file.Get());
        if (copied.Failed()) {
            // As a failed CopyFile does: no part of a file is left to pass
            // for the whole. The copy's failure is logged below either way;
            // a part that cannot be removed never got the source's time.
            static_cast<void>(RemoveHeld(std::move(file)));
        }
    }
    if (copied.Failed()) {
        Log(ModuleLog(), "QEK_CORE: 复制文件%s失败(%d)", destination.text, copied.Code());
    }
}

} // namespace

RootCopies::RootCopies(const SyncRoots& roots) : roots_(roots)
{
    copies_.reserve(roots.copies.size());
    for (const std::string& root : roots.copies) {
        copies_.emplace_back(root);
    }
}

Status RootCopies::Copy(const char* name)
{
    const char* belowRoot = name + 1; // the roots end with the backslash the name begins with
    CopyPath source;
    if (!JoinPath(source.text, roots_.primary.c_str(), belowRoot)) {
        Log(ModuleLog(), "QEK_CORE: 复制文件路径过长(%s)(%s)", roots_.primary.c_str(), name);
        return Status::Failure(ERROR_FILENAME_EXCED_RANGE);
    }
    std::vector<CopyPath> destinations(roots_.copies.size());
    for (size_t i = 0; i < roots_.copies.size(); ++i) {
        if (!JoinPath(destinations[i].text, roots_.copies[i].c_str(), belowRoot)) {
            Log(ModuleLog(), "QEK_CORE: 复制文件路径过长(%s)(%s)", roots_.copies[i].c_str(), name);
            return Status::Failure(ERROR_FILENAME_EXCED_RANGE);
        }
    }
    for (size_t i = 0; i < copies_.size(); ++i) {
        CopyToRoot(source, destinations[i], copies_[i], name);
    }
    return Status::Ok();
}

Status CopyToRoots(const SyncRoots& roots, const char* name)
{
    RootCopies copies(roots);
    return copies.Copy(name);
}

} // namespace qek
