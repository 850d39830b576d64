// The process's handle table: every HANDLE the layer gives out names one
// handle object of a known kind; values are validated on every use.
#ifndef QEL_WIN32POSIX_HANDLES_H
#define QEL_WIN32POSIX_HANDLES_H

#include "share_table.h"
#include "unique_fd.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace win32posix {

enum class HandleKind {
    File,        // CreateFileA
    Find,        // FindFirstFileA (closed by FindClose)
    FileMapping, // CreateFileMappingA
};

// Base of everything a HANDLE can name. The object lives as long as the table
// entry or any other owner (a call in progress on another thread) holds it.
class HandleObject {
public:
    explicit HandleObject(HandleKind kind) : kind_(kind) { }
    virtual ~HandleObject() = default;
    HandleObject(const HandleObject&) = delete;
    HandleObject& operator=(const HandleObject&) = delete;
    HandleKind kind() const { return kind_; }

private:
    HandleKind kind_;
};

// The one share table of the process.
ShareTable& ProcessShareTable();

// An open host file with its share-table entry. Shared by reference: the file
// handle holds it, and a file mapping made from the handle holds it too, so
// the descriptor stays open and the entry keeps refusing conflicting opens and
// deletion until the last owner lets go. Closes the descriptor and removes the
// entry on destruction.
class OpenFile {
public:
    OpenFile(UniqueFd fd, std::string hostPath, FileId id, DWORD shareAccess, std::optional<ShareTable::Ticket> ticket);
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    int fd() const { return fd_.Get(); }
    const std::string& hostPath() const
    {
        return hostPath_;
    } // as opened; the file may since have been renamed or deleted
    FileId id() const { return id_; }
    DWORD shareAccess() const { return shareAccess_; } // kShareAccess* bits granted
    bool canRead() const { return (shareAccess_ & kShareAccessRead) != 0; }
    bool canWrite() const { return (shareAccess_ & kShareAccessWrite) != 0; }

    // The file's current size; nullopt with the last error set on failure.
    std::optional<uint64_t> Size() const;

    bool isDirectory = false; // opened with FILE_FLAG_BACKUP_SEMANTICS on a directory
    bool noBuffering = false; // FILE_FLAG_NO_BUFFERING: reads and writes must be sector-aligned
    bool directIo = false;    // the descriptor has O_DIRECT (the file system accepted it)
    bool readControl = false; // opened with READ_CONTROL (or a right including it): GetSecurityInfo may read it

private:
    UniqueFd fd_;
    std::string hostPath_;
    FileId id_;
    DWORD shareAccess_;
    std::optional<ShareTable::Ticket> ticket_;
};

// A handle from CreateFileA.
class FileHandleObject : public HandleObject {
public:
    explicit FileHandleObject(std::shared_ptr<OpenFile> file) : HandleObject(HandleKind::File), file_(std::move(file))
    {
    }
    const std::shared_ptr<OpenFile>& file() const { return file_; }

private:
    std::shared_ptr<OpenFile> file_;
};

// Enters an object into the table and returns its new handle (never NULL nor
// INVALID_HANDLE_VALUE; values are not reused within the process).
HANDLE RegisterHandle(std::shared_ptr<HandleObject> object);

// The object a handle names if it is of `kind`; else nullptr with the last
// error set to ERROR_INVALID_HANDLE.
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle, HandleKind kind);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle, HandleKind kind)
{
    return std::static_pointer_cast<T>(LookupHandle(handle, kind));
}

// The open file of a file handle, or nullptr with ERROR_INVALID_HANDLE.
std::shared_ptr<OpenFile> OpenFileOfHandle(HANDLE handle);

// Removes a handle of `kind` from the table (the object is destroyed when its
// last owner lets go). False with ERROR_INVALID_HANDLE when the handle names
// nothing of that kind. CloseHandle removes handles of any kind but Find.
bool UnregisterHandle(HANDLE handle, HandleKind kind);

} // namespace win32posix

#endif
