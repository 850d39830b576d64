// Emulates the Win32 file calls the core makes: CreateFileA with its access,
// share modes (through the process's share table), five dispositions and the
// flags NO_BUFFERING (O_DIRECT where the file system takes it, with the
// Windows sector-alignment rule always enforced), SEQUENTIAL_SCAN, WRITE_THROUGH
// and BACKUP_SEMANTICS; synchronous reads, writes, file pointer, end of file,
// times to the 100 ns, flush, delete, copy and attributes, with Windows errors
// and the read-only attribute honoured even for root. FILE_FLAG_OPEN_REPARSE_POINT
// opens a symbolic link itself (O_PATH | O_NOFOLLOW), for what can be learnt
// of it without its data: identity, times, attributes and owner; asking for
// its data (read or write access) or replacing it is refused with
// ERROR_ACCESS_DENIED, a layer limit. It does not emulate
// overlapped I/O, byte-range locks, alternate streams, creation times that can
// be set, delete-pending states (a deleted open file vanishes at once, as with
// POSIX delete semantics on recent Windows) or sharing with other processes.
#include "attributes.h"
#include "errors.h"
#include "fault_plan.h"
#include "filetime.h"
#include "handles.h"
#include "resolve.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace win32posix {
namespace {

constexpr DWORD kSectorSize = 512; // the alignment FILE_FLAG_NO_BUFFERING demands
constexpr DWORD kAttributeFlags = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

int OpenFlagsFor(DWORD shareAccess)
{
    bool read = shareAccess & kShareAccessRead;
    bool write = shareAccess & kShareAccessWrite;
    if (read && write)
        return O_RDWR;
    if (write)
        return O_WRONLY;
    return O_RDONLY;
}

FileId IdOf(const struct stat& st)
{
    return FileId{uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

struct OpenRequest {
    DWORD desiredAccess = 0;
    DWORD shareMode = 0;
    DWORD disposition = OPEN_EXISTING;
    DWORD flagsAndAttributes = 0;
};

struct OpenResult {
    std::shared_ptr<OpenFile> file;
    bool existed = false; // the name was there before (ERROR_ALREADY_EXISTS for the *_ALWAYS dispositions)
};

bool IsFileOrFolder(const struct stat& st)
{
    return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
}

bool Overwrites(DWORD disposition)
{
    return disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
}

// Rights that include READ_CONTROL, which reading the owner needs.
constexpr DWORD kGenericExecute = 0x20000000u;
constexpr DWORD kGenericAll = 0x10000000u;
constexpr DWORD kMaximumAllowed = 0x02000000u;
bool GrantsReadControl(DWORD desiredAccess)
{
    return (desiredAccess &
            (READ_CONTROL | GENERIC_READ | GENERIC_WRITE | kGenericExecute | kGenericAll | kMaximumAllowed)) != 0;
}

// FILE_FLAG_OPEN_REPARSE_POINT on a symbolic link: the link itself, never its
// target, is opened (even a dangling one). A link to a folder is a folder to
// Windows and needs FILE_FLAG_BACKUP_SEMANTICS.
DWORD OpenLinkItself(const ResolvedPath& path, const OpenRequest& request, OpenResult& result)
{
    if (request.disposition == CREATE_NEW)
        return ERROR_FILE_EXISTS;
    DWORD shareAccess = ShareAccessFromDesired(request.desiredAccess);
    if (Overwrites(request.disposition) || (shareAccess & (kShareAccessRead | kShareAccessWrite)))
        return ERROR_ACCESS_DENIED;
    UniqueFd fd(::open(path.host.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.IsValid())
        return ErrorFromErrno(errno);
    struct stat opened { };
    if (fstat(fd.Get(), &opened) != 0)
        return ErrorFromErrno(errno);
    if (!S_ISLNK(opened.st_mode)) // replaced since it was looked at
        return ERROR_ACCESS_DENIED;
    bool isDirectory = (AttributesOf(path.host, opened) & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isDirectory && !(request.flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS))
        return ERROR_ACCESS_DENIED;
    std::optional<ShareTable::Ticket> ticket = ProcessShareTable().TryAdd(IdOf(opened), shareAccess, request.shareMode);
    if (!ticket)
        return ERROR_SHARING_VIOLATION;
    result.file = std::make_shared<OpenFile>(std::move(fd), path.host, IdOf(opened), shareAccess, ticket);
    result.file->isDirectory = isDirectory;
    result.existed = true;
    return ERROR_SUCCESS;
}

bool IsLinkItself(const ResolvedPath& path, const OpenRequest& request)
{
    struct stat entry;
    return (request.flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) && path.exists &&
           lstat(path.host.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode);
}

// The checks Windows makes on an existing entry before opening it.
DWORD CheckExisting(const ResolvedPath& path, const struct stat& target, const OpenRequest& request)
{
    if (request.disposition == CREATE_NEW)
        return ERROR_FILE_EXISTS;
    if (S_ISDIR(target.st_mode)) {
        bool backup = request.flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS;
        if (!backup || Overwrites(request.disposition))
            return ERROR_ACCESS_DENIED;
        return ERROR_SUCCESS;
    }
    bool wantsWrite = ShareAccessFromDesired(request.desiredAccess) & (kShareAccessWrite | kShareAccessDelete);
    if (IsReadOnlyMode(target.st_mode) && (wantsWrite || Overwrites(request.disposition)))
        return ERROR_ACCESS_DENIED;
    if (Overwrites(request.disposition)) {
        // Replacing a hidden or system file requires naming those attributes.
        DWORD stored = StoredAttributes(path.host);
        DWORD requested = request.flagsAndAttributes & kStoredAttributes;
        if ((stored & ~requested) != 0)
            return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

// The attributes a created or overwritten file is given.
void ApplyCreationAttributes(const OpenFile& file, DWORD flagsAndAttributes, DWORD keptStored)
{
    DWORD stored = (flagsAndAttributes | keptStored) & kStoredAttributes;
    StoreAttributesOfFd(file.fd(), stored);
    if (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) {
        // The handle keeps its write access; only later opens see the file read-only.
        struct stat st;
        if (fstat(file.fd(), &st) == 0)
            fchmod(file.fd(), st.st_mode & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH) & 07777);
    }
}

// Opens an existing entry without blocking: a FIFO put in a file's place
// since it was looked at must not hold the thread for ever (the caller
// refuses it once open). A creation (O_EXCL) never opens anything that was
// there, so it opens the new file in blocking mode at once.
UniqueFd OpenDescriptor(const std::string& host, int flags, bool create, bool noBuffering, bool& directIo)
{
    int fullFlags = flags | O_CLOEXEC | (create ? (O_CREAT | O_EXCL) : O_NONBLOCK);
    directIo = false;
    std::string folder = HostParent(host);
    auto open_ = [&](int extra) {
        return create ? InReadOnlyFolder(folder, [&] { return ::open(host.c_str(), fullFlags | extra, 0666); })
                      : ::open(host.c_str(), fullFlags | extra);
    };
    if (noBuffering) {
        UniqueFd fd(open_(O_DIRECT));
        if (fd.IsValid()) {
            directIo = true;
            return fd;
        }
        if (errno != EINVAL)
            return UniqueFd(); // EINVAL: the file system takes no O_DIRECT; open it normally
    }
    return UniqueFd(open_(0));
}

// CreateFileA without the handle: also used by CopyFileA.
DWORD OpenByName(const char* name, const OpenRequest& request, OpenResult& result)
{
    if (!name || !*name)
        return ERROR_PATH_NOT_FOUND;
    if (request.disposition < CREATE_NEW || request.disposition > TRUNCATE_EXISTING)
        return ERROR_INVALID_PARAMETER;
    DWORD shareAccess = ShareAccessFromDesired(request.desiredAccess);
    if (request.disposition == TRUNCATE_EXISTING && !(shareAccess & kShareAccessWrite))
        return ERROR_INVALID_PARAMETER;

    ResolvedPath path;
    if (DWORD error = ResolvePath(name, path); error != ERROR_SUCCESS)
        return error;
    if (path.trailingSeparator && !path.exists)
        return ERROR_INVALID_NAME;
    if (PlannedFault(path.host))
        return ErrorFromErrno(errno);
    if (IsLinkItself(path, request))
        return OpenLinkItself(path, request, result);

    struct stat target { };
    bool exists = path.exists && stat(path.host.c_str(), &target) == 0; // a dangling link counts as absent
    if (path.exists && !exists && request.disposition == CREATE_NEW)
        return ERROR_FILE_EXISTS;
    // A FIFO, socket or device in a folder has no counterpart on Windows: not
    // a file to open.
    if (exists && !IsFileOrFolder(target))
        return ERROR_ACCESS_DENIED;
    if (!exists && (request.disposition == OPEN_EXISTING || request.disposition == TRUNCATE_EXISTING))
        return ERROR_FILE_NOT_FOUND;
    if (path.unrepresentable)
        return ERROR_INVALID_NAME; // no host name stands for it: it cannot be created
    DWORD keptStored = 0;
    if (exists) {
        if (DWORD error = CheckExisting(path, target, request); error != ERROR_SUCCESS)
            return error;
        keptStored = StoredAttributes(path.host);
    }

    bool isDirectory = exists && S_ISDIR(target.st_mode);
    bool noBuffering = request.flagsAndAttributes & FILE_FLAG_NO_BUFFERING;
    int flags = isDirectory ? (O_RDONLY | O_DIRECTORY) : OpenFlagsFor(shareAccess);
    if (request.flagsAndAttributes & FILE_FLAG_WRITE_THROUGH)
        flags |= O_DSYNC;
    bool directIo = false;
    UniqueFd fd = OpenDescriptor(path.host, flags, !exists, noBuffering && !isDirectory, directIo);
    if (!fd.IsValid())
        return errno == EEXIST ? ERROR_FILE_EXISTS : ErrorFromErrno(errno);

    struct stat opened { };
    if (fstat(fd.Get(), &opened) != 0)
        return ErrorFromErrno(errno);
    if (!IsFileOrFolder(opened))
        return ERROR_ACCESS_DENIED;
    if (exists)
        fcntl(fd.Get(), F_SETFL, fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
    std::optional<ShareTable::Ticket> ticket = ProcessShareTable().TryAdd(IdOf(opened), shareAccess, request.shareMode);
    if (!ticket)
        return ERROR_SHARING_VIOLATION; // nothing was truncated: the share check comes first
    auto file = std::make_shared<OpenFile>(std::move(fd), path.host, IdOf(opened), shareAccess, ticket);
    file->isDirectory = isDirectory;
    file->noBuffering = noBuffering && !isDirectory;
    file->directIo = directIo;

    bool overwrite = exists && Overwrites(request.disposition);
    if (overwrite && opened.st_size > 0) {
        if (ProcessShareTable().IsMapped(file->id()))
            return ERROR_USER_MAPPED_FILE;
        if (ftruncate(file->fd(), 0) != 0)
            return ErrorFromErrno(errno);
    }
    // A file just made carries no stored attributes: only those asked for are written.
    bool attributesAsked = (request.flagsAndAttributes & (kStoredAttributes | FILE_ATTRIBUTE_READONLY)) != 0;
    if (overwrite || (!exists && attributesAsked))
        ApplyCreationAttributes(*file, request.flagsAndAttributes, overwrite ? keptStored : 0);
    if (request.flagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN)
        posix_fadvise(file->fd(), 0, 0, POSIX_FADV_SEQUENTIAL);

    result.file = std::move(file);
    result.existed = exists;
    return ERROR_SUCCESS;
}

bool IsAligned(uint64_t value)
{
    return value % kSectorSize == 0;
}

// FILE_FLAG_NO_BUFFERING: buffer address, length and file offset must be
// whole sectors, as Windows demands whatever the file system.
bool AlignedForNoBuffering(const OpenFile& file, const void* buffer, DWORD length)
{
    if (!file.noBuffering)
        return true;
    off_t offset = lseek(file.fd(), 0, SEEK_CUR);
    return offset >= 0 && IsAligned(uint64_t(offset)) && IsAligned(length) &&
           IsAligned(reinterpret_cast<uintptr_t>(buffer));
}

// O_DIRECT may still refuse a transfer that is sector-aligned but not aligned
// to the device's block size: the descriptor then drops O_DIRECT for good.
bool DropDirectIo(OpenFile& file)
{
    if (!file.directIo || errno != EINVAL)
        return false;
    int flags = fcntl(file.fd(), F_GETFL);
    if (flags < 0 || fcntl(file.fd(), F_SETFL, flags & ~O_DIRECT) != 0)
        return false;
    file.directIo = false;
    return true;
}

template <class Transfer>
ssize_t TransferAll(OpenFile& file, char* data, DWORD length, bool stopAtEnd, Transfer transfer)
{
    DWORD done = 0;
    while (done < length) {
        ssize_t n = transfer(file.fd(), data + done, length - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (DropDirectIo(file))
                continue;
            return -1;
        }
        if (n == 0 && stopAtEnd)
            break;
        done += DWORD(n);
    }
    return ssize_t(done);
}

bool FileTimeToOptionalTimespec(const FILETIME* ft, timespec& out, bool& valid)
{
    valid = true;
    if (!ft) {
        out.tv_nsec = UTIME_OMIT;
        return true;
    }
    uint64_t value = FiletimeToU64(*ft);
    if (value == 0 || value == ~uint64_t(0)) { // 0: leave alone; -1: Windows' "stop updating", taken as leave alone
        out.tv_sec = 0;
        out.tv_nsec = UTIME_OMIT;
        return true;
    }
    std::optional<timespec> converted = TimespecFromFiletime(*ft);
    if (!converted) {
        valid = false;
        return false;
    }
    out = *converted;
    return true;
}

DWORD MoveFilePointer(OpenFile& file, int64_t distance, DWORD method, int64_t& newPosition)
{
    int64_t base = 0;
    switch (method) {
    case FILE_BEGIN:
        base = 0;
        break;
    case FILE_CURRENT: {
        off_t current = lseek(file.fd(), 0, SEEK_CUR);
        if (current < 0)
            return ErrorFromErrno(errno);
        base = current;
        break;
    }
    case FILE_END: {
        std::optional<uint64_t> size = file.Size();
        if (!size)
            return GetLastError();
        base = int64_t(*size);
        break;
    }
    default:
        return ERROR_INVALID_PARAMETER;
    }
    if ((distance < 0 && base < INT64_MIN - distance) || (distance > 0 && base > INT64_MAX - distance))
        return ERROR_INVALID_PARAMETER;
    int64_t target = base + distance;
    if (target < 0)
        return ERROR_NEGATIVE_SEEK;
    if (lseek(file.fd(), off_t(target), SEEK_SET) < 0)
        return ErrorFromErrno(errno);
    newPosition = target;
    return ERROR_SUCCESS;
}

enum class Transfer { Read, Write };

// The checks ReadFile and WriteFile make before they move a byte, in
// Windows' order; no file (the last error set) when one fails.
std::shared_ptr<OpenFile> FileForTransfer(HANDLE handle, const void* buffer, DWORD length, LPOVERLAPPED overlapped,
                                          Transfer transfer)
{
    std::shared_ptr<OpenFile> file = OpenFileOfHandle(handle);
    if (!file)
        return nullptr;
    DWORD error = ERROR_SUCCESS;
    if (overlapped)
        error = ERROR_INVALID_PARAMETER;
    else if (file->isDirectory)
        error = ERROR_INVALID_FUNCTION;
    else if (!(transfer == Transfer::Write ? file->canWrite() : file->canRead()))
        error = ERROR_ACCESS_DENIED;
    else if (!AlignedForNoBuffering(*file, buffer, length))
        error = ERROR_INVALID_PARAMETER;
    else if (PlannedFault(file->hostPath()))
        error = ErrorFromErrno(errno);
    if (error != ERROR_SUCCESS) {
        Fail(error);
        return nullptr;
    }
    return file;
}

} // namespace
} // namespace win32posix

using namespace win32posix;

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE)
{
    OpenResult result;
    OpenRequest request{dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes};
    if (DWORD error = OpenByName(lpFileName, request, result); error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    result.file->readControl = GrantsReadControl(dwDesiredAccess);
    HANDLE handle = RegisterHandle(std::make_shared<FileHandleObject>(std::move(result.file)));
    bool reportExisting =
        result.existed && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                                LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    std::shared_ptr<OpenFile> file =
        FileForTransfer(hFile, lpBuffer, nNumberOfBytesToRead, lpOverlapped, Transfer::Read);
    if (!file)
        return FALSE;
    ssize_t got = TransferAll(*file, static_cast<char*>(lpBuffer), nNumberOfBytesToRead, true,
                              [](int fd, char* p, size_t n) { return ::read(fd, p, n); });
    if (got < 0)
        return Fail(ErrorFromErrno(errno));
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = DWORD(got);
    return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    std::shared_ptr<OpenFile> file =
        FileForTransfer(hFile, lpBuffer, nNumberOfBytesToWrite, lpOverlapped, Transfer::Write);
    if (!file)
        return FALSE;
    const DWORD length = PlannedWriteLength(file->hostPath(), nNumberOfBytesToWrite);
    ssize_t put = TransferAll(*file, const_cast<char*>(static_cast<const char*>(lpBuffer)), length, false,
                              [](int fd, char* p, size_t n) { return ::write(fd, p, n); });
    if (put < 0)
        return Fail(ErrorFromErrno(errno));
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = DWORD(put);
    return TRUE;
}

extern "C" BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                                        DWORD dwMoveMethod)
{
    std::shared_ptr<OpenFile> file = OpenFileOfHandle(hFile);
    if (!file)
        return FALSE;
    int64_t position = 0;
    if (DWORD error = MoveFilePointer(*file, liDistanceToMove.QuadPart, dwMoveMethod, position); error != ERROR_SUCCESS)
        return Fail(error);
    if (lpNewFilePointer)
        lpNewFilePointer->QuadPart = position;
    return TRUE;
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                       DWORD dwMoveMethod)
{
    LARGE_INTEGER distance;
    if (lpDistanceToMoveHigh) {
        distance.u.LowPart = DWORD(lDistanceToMove);
        distance.u.HighPart = *lpDistanceToMoveHigh;
    } else {
        distance.QuadPart = lDistanceToMove; // sign-extended, as Windows takes a lone 32-bit distance
    }
    LARGE_INTEGER position;
    if (!SetFilePointerEx(hFile, distance, &position, dwMoveMethod))
        return INVALID_SET_FILE_POINTER;
    if (lpDistanceToMoveHigh)
        *lpDistanceToMoveHigh = position.u.HighPart;
    // A position whose low half is 0xFFFFFFFF is told apart from a failure by the last error.
    if (position.u.LowPart == INVALID_SET_FILE_POINTER)
        SetLastError(ERROR_SUCCESS);
    return position.u.LowPart;
}

extern "C" BOOL WINAPI SetEndOfFile(HANDLE hFile)
{
    std::shared_ptr<OpenFile> file = OpenFileOfHandle(hFile);
    if (!file)
        return FALSE;
    if (!file->canWrite() || file->isDirectory)
        return Fail(ERROR_ACCESS_DENIED);
    if (PlannedFault(file->hostPath()))
        return Fail(ErrorFromErrno(errno));
    off_t position = lseek(file->fd(), 0, SEEK_CUR);
    if (position < 0)
        return Fail(ErrorFromErrno(errno));
    std::optional<uint64_t> size = file->Size();
    if (!size)
        return FALSE;
    if (uint64_t(position) < *size && ProcessShareTable().IsMapped(file->id()))
        return Fail(ERROR_USER_MAPPED_FILE);
    if (ftruncate(file->fd(), position) != 0)
        return Fail(errno == EFBIG ? ERROR_DISK_FULL : ErrorFromErrno(errno));
    return TRUE;
}

extern "C" BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize)
{
    std::shared_ptr<OpenFile> file = OpenFileOfHandle(hFile);
    if (!file)
        return FALSE;
    if (!lpFileSize)
        return Fail(ERROR_INVALID_PARAMETER);
    if (PlannedFault(file->hostPath()))
        return Fail(ErrorFromErrno(errno));
    std::optional<uint64_t> size = file->Size();
    if (!size)
        return FALSE;
    lpFileSize->QuadPart = LONGLONG(*size);
    return TRUE;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(hFile, &size))
        return INVALID_FILE_SIZE;
    if (lpFileSizeHigh)
        *lpFileSizeHigh = DWORD(size.u.HighPart);
    if (size.u.LowPart == INVALID_FILE_SIZE)
        SetLastError(ERROR_SUCCESS); // a size, not a failure
    return size.u.LowPart;
}

extern "C" BOOL WINAPI GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                                   LPFILETIME lpLastWriteTime)
{
    std::shared_ptr<OpenFile> file = OpenFileOfHandle(hFile);
    if (!file)
        return FALSE;
    struct statx sx;
    if (statx(file->fd(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return Fail(ErrorFromErrno(errno));
    auto convert = [](const statx_timestamp& t) {
        std::optional<FILETIME> ft = FiletimeFromTimespec(timespec{time_t(t.tv_sec), long(t.tv_nsec)});
        return ft ? *ft : FILETIME{0, 0};
    };
    // The birth time where the file system records one, else the last write.
    const statx_timestamp& birth = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime;
    if (lpCreationTime)
        *lpCreationTime = convert(birth);
    if (lpLastAccessTime)
        *lpLastAccessTime = convert(sx.stx_atime);
    if (lpLastWriteTime)
        *lpLastWriteTime = convert(sx.stx_mtime);
    return TRUE;
}

extern "C" BOOL WINAPI SetFileTime(HANDLE hFile, const FILETIME* lpCreationTime, const FILETIME* lpLastAccessTime,
                                   const FILETIME* lpLastWriteTime)
{
    std::shared_ptr<OpenFile> file = OpenFileOfHandle(hFile);
    if (!file)
        return FALSE;
    if (!file->canWrite())
        return Fail(ERROR_ACCESS_DENIED); // Windows wants write-attributes access
    if (PlannedFault(file->hostPath()))
        return Fail(ErrorFromErrno(errno));
    timespec times[2];
    bool valid = true;
    FileTimeToOptionalTimespec(lpLastAccessTime, times[0], valid);
    if (!valid)
        return Fail(ERROR_INVALID_PARAMETER);
    FileTimeToOptionalTimespec(lpLastWriteTime, times[1], valid);
    if (!valid)
        return Fail(ERROR_INVALID_PARAMETER);
    timespec ignored;
    FileTimeToOptionalTimespec(lpCreationTime, ignored, valid); // the host can't set a birth time; only validated
    if (!valid)
        return Fail(ERROR_INVALID_PARAMETER);
    if (times[0].tv_nsec == UTIME_OMIT && times[1].tv_nsec == UTIME_OMIT)
        return TRUE;
    if (futimens(file->fd(), times) != 0)
        return Fail(ErrorFromErrno(errno));
    return TRUE;
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    std::shared_ptr<OpenFile> file = OpenFileOfHandle(hFile);
    if (!file)
        return FALSE;
    if (!file->canWrite())
        return Fail(ERROR_ACCESS_DENIED);
    if (PlannedFault(file->hostPath()))
        return Fail(ErrorFromErrno(errno));
    if (fsync(file->fd()) != 0)
        return Fail(ErrorFromErrno(errno));
    return TRUE;
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR lpFileName)
{
    if (!lpFileName || !*lpFileName)
        return Fail(ERROR_PATH_NOT_FOUND);
    ResolvedPath path;
    if (DWORD error = ResolveExisting(lpFileName, path); error != ERROR_SUCCESS)
        return Fail(error);
    if (PlannedFault(path.host))
        return Fail(ErrorFromErrno(errno));
    struct stat entry;
    if (lstat(path.host.c_str(), &entry) != 0)
        return Fail(ErrorFromErrno(errno));
    if (S_ISDIR(entry.st_mode))
        return Fail(ERROR_ACCESS_DENIED);
    if (S_ISLNK(entry.st_mode)) {
        // A link is deleted by itself; a link to a directory is a directory
        // to Windows, removed with RemoveDirectoryA.
        struct stat target;
        if (stat(path.host.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
            return Fail(ERROR_ACCESS_DENIED);
    } else if (IsReadOnlyMode(entry.st_mode)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    switch (ProcessShareTable().CheckDelete(IdOf(entry))) {
    case DeleteCheck::Allowed:
        break;
    case DeleteCheck::SharingViolation:
        return Fail(ERROR_SHARING_VIOLATION);
    case DeleteCheck::Mapped:
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (InReadOnlyFolder(HostParent(path.host), [&] { return unlink(path.host.c_str()); }) != 0)
        return Fail(ErrorFromErrno(errno));
    return TRUE;
}

extern "C" BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists)
{
    if (!lpExistingFileName || !lpNewFileName)
        return Fail(ERROR_INVALID_PARAMETER);
    // The source is opened sharing reading and writing, the destination with
    // no sharing at all: a copy onto the source itself (by any name that leads
    // to it) thus meets a sharing violation before anything is truncated.
    OpenResult source;
    OpenRequest sourceRequest{GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0};
    if (DWORD error = OpenByName(lpExistingFileName, sourceRequest, source); error != ERROR_SUCCESS)
        return Fail(error);
    struct stat sourceStat;
    if (fstat(source.file->fd(), &sourceStat) != 0)
        return Fail(ErrorFromErrno(errno));
    if (S_ISDIR(sourceStat.st_mode))
        return Fail(ERROR_ACCESS_DENIED);
    DWORD sourceAttributes =
        StoredAttributesOfFd(source.file->fd()) | (IsReadOnlyMode(sourceStat.st_mode) ? FILE_ATTRIBUTE_READONLY : 0);

    OpenResult destination;
    OpenRequest destinationRequest{GENERIC_WRITE, 0, DWORD(bFailIfExists ? CREATE_NEW : CREATE_ALWAYS),
                                   sourceAttributes & kAttributeFlags};
    if (DWORD error = OpenByName(lpNewFileName, destinationRequest, destination); error != ERROR_SUCCESS)
        return Fail(error);

    if (PlannedFault(destination.file->hostPath()))
        return Fail(ErrorFromErrno(errno));
    std::vector<char> buffer(1 << 20);
    while (true) {
        ssize_t got = read(source.file->fd(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Fail(ErrorFromErrno(errno));
        if (got == 0)
            break;
        for (ssize_t done = 0; done < got;) {
            ssize_t put = write(destination.file->fd(), buffer.data() + done, size_t(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                return Fail(ErrorFromErrno(errno));
            done += put;
        }
    }
    const timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
    if (futimens(destination.file->fd(), times) != 0)
        return Fail(ErrorFromErrno(errno));
    return TRUE;
}

extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName)
{
    if (!lpFileName || !*lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    ResolvedPath path;
    if (DWORD error = ResolveExisting(lpFileName, path); error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (PlannedFault(path.host)) {
        SetLastErrorFromErrno();
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat entry;
    if (lstat(path.host.c_str(), &entry) != 0) {
        SetLastErrorFromErrno();
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(path.host, entry);
}

extern "C" BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes)
{
    if (!lpFileName || !*lpFileName)
        return Fail(ERROR_PATH_NOT_FOUND);
    ResolvedPath path;
    if (DWORD error = ResolveExisting(lpFileName, path); error != ERROR_SUCCESS)
        return Fail(error);
    if (PlannedFault(path.host))
        return Fail(ErrorFromErrno(errno));
    if (DWORD error = ApplyAttributes(path.host, dwFileAttributes); error != ERROR_SUCCESS)
        return Fail(error);
    return TRUE;
}
