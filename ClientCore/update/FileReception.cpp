#include "update/FileReception.h"

#include "channel/TaskRecords.h"
#include "service/LogFile.h"
#include "update/UpdatePaths.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace {

enum class WriteMode { Unbuffered, Buffered };

int LastErrorOr(int fallback)
{
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : fallback;
}

// Fills the request's per-file fields and builds the local path: 1, or the
// failure (logged) for a name or path that cannot be used.
int PrepareRequest(const QELDtFile& record, FileRequest& request, const char* targetDirectory,
                   char (&path)[kPathBufferSize])
{
    if (!IsSafeEntryName(record.name, sizeof(record.name))) {
        char printable[sizeof(record.name)];
        std::memcpy(printable, record.name, sizeof(printable) - 1);
        printable[sizeof(printable) - 1] = '\0';
        Log(ModuleLog(), "QEK_CORE: 待下载文件名不合法(%s)", printable);
        return ERROR_INVALID_NAME;
    }
    std::memset(request.fileName, 0, sizeof(request.fileName));
    std::memcpy(request.fileName, record.name, std::strlen(record.name));
    request.command = kFileRequestSendFile;
    if (!JoinPath(path, targetDirectory, request.fileName)) {
        Log(ModuleLog(), "QEK_CORE: 待下载文件路径过长(%s)(%s)", targetDirectory, request.fileName);
        return ERROR_FILENAME_EXCED_RANGE;
    }
    return 1;
}

// Creates (or empties) the file; a read-only, hidden or system file is given
// normal attributes and tried once more.
HANDLE CreateTarget(const char* path, DWORD flags)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, flags, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        return file;
    }
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, flags, nullptr);
}

// Sets the end of the file at `size` and leaves the pointer at `pointerAfter`.
int SetFileLength(HANDLE file, uint64_t size, uint64_t pointerAfter)
{
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
        return LastErrorOr(ERROR_DISK_FULL);
    }
    position.QuadPart = static_cast<LONGLONG>(pointerAfter);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) {
        return LastErrorOr(ERROR_INVALID_PARAMETER);
    }
    return 1;
}

int SetLastWriteTime(HANDLE file, const RecordFileTime& time)
{
    FILETIME lastWrite{};
    lastWrite.dwLowDateTime = time.lowDateTime;
    lastWrite.dwHighDateTime = time.highDateTime;
    return SetFileTime(file, nullptr, nullptr, &lastWrite) ? 1 : LastErrorOr(ERROR_ACCESS_DENIED);
}

// All of `length` bytes, or the system error code; a write that reports
// success with fewer bytes is a full disk.
int WriteAll(HANDLE file, const void* data, DWORD length)
{
    DWORD written = 0;
    if (!WriteFile(file, data, length, &written, nullptr)) {
        return LastErrorOr(ERROR_DISK_FULL);
    }
    return written == length ? 1 : ERROR_DISK_FULL;
}

// Asks for the file and writes its bytes as they come. Without the system
// cache every write is the whole aligned buffer, so that each starts and ends
// on a sector; the cut to size comes after.
int ReceiveContent(RavelnetConnection connection, HANDLE file, FileRequest& request, void* buffer, uint64_t size,
                   WriteMode mode)
{
    // Not checked: a failed send shows as the failure of the first receive.
    RavelnetSend(connection, &request, sizeof(request));
    uint64_t received = 0;
    uint32_t chunk = 0;
    int result = 1;
    while (received < size) {
        chunk = static_cast<uint32_t>(std::min<uint64_t>(size - received, kReceiveBufferSize));
        result = RavelnetRecv(connection, buffer, chunk, kReceiveTimeoutMs);
        if (result == RAVELNET_OK) {
            result = WriteAll(file, buffer, mode == WriteMode::Unbuffered ? kReceiveBufferSize : chunk);
        }
        received += chunk;
        if (result != 1) {
            break;
        }
    }
    if (chunk == kReceiveBufferSize) {
        Sleep(1);
    }
    return result;
}

// Gives the unbuffered file its size and time through a buffered handle.
int FinishUnbuffered(HANDLE file, const char* path, uint64_t size, const RecordFileTime& time)
{
    if (size == 0) {
        const int timed = SetLastWriteTime(file, time);
        CloseHandle(file);
        return timed;
    }
    CloseHandle(file);
    HANDLE reopened = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (reopened == INVALID_HANDLE_VALUE) {
        return LastErrorOr(ERROR_ACCESS_DENIED);
    }
    int result = SetFileLength(reopened, size, size);
    if (result == 1) {
        result = SetLastWriteTime(reopened, time);
    }
    CloseHandle(reopened);
    return result;
}

int ReceiveFile(WriteMode mode, RavelnetConnection connection, const QELDtFile& record, FileRequest& request,
                void* buffer, const char* targetDirectory)
{
    char path[kPathBufferSize];
    const int prepared = PrepareRequest(record, request, targetDirectory, path);
    if (prepared != 1) {
        return prepared;
    }
    // A link planted on the way would take the file elsewhere.
    const int unlinked = ReplaceLinksBelowRoot(targetDirectory, request.fileName);
    if (unlinked != 1) {
        Log(ModuleLog(), "QEK_CORE: 建立待下载文件%s失败(%d)", path, unlinked);
        return unlinked;
    }
    const DWORD flags = mode == WriteMode::Unbuffered ? FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN
                                                      : FILE_FLAG_SEQUENTIAL_SCAN;
    HANDLE file = CreateTarget(path, flags);
    if (file == INVALID_HANDLE_VALUE) {
        const int error = LastErrorOr(ERROR_ACCESS_DENIED);
        Log(ModuleLog(), "QEK_CORE: 建立待下载文件%s失败(%d)", path, error);
        return error;
    }
    request.fileSizeHighByte = static_cast<uint8_t>(record.sizeHigh);
    request.fileSizeLow = record.sizeLow;
    const uint64_t size = RecordSize(record);

    int result = 1;
    if (mode == WriteMode::Buffered) {
        result = SetFileLength(file, size, 0); // the whole size is reserved before any byte
    }
    if (result == 1 && size != 0) {
        result = ReceiveContent(connection, file, request, buffer, size, mode);
    }
    if (result != 1) {
        CloseHandle(file);
        return result;
    }
    if (mode == WriteMode::Unbuffered) {
        result = FinishUnbuffered(file, path, size, record.lastWriteTime);
    } else {
        result = SetLastWriteTime(file, record.lastWriteTime);
        CloseHandle(file);
    }
    if (result != 1) {
        return result;
    }
    const uint64_t done = BytesDone(request) + size;
    request.bytesDoneHigh = HighHalf(done);
    request.bytesDoneLow = LowHalf(done);
    if (mode == WriteMode::Unbuffered) {
        Log(ModuleLog(), "QEK_CORE: 下载文件%s成功(%d)(%d)", path, static_cast<int>(HighHalf(size)),
            static_cast<int>(LowHalf(size)));
    }
    return 1;
}

} // namespace

int ReceiveFileUnbuffered(RavelnetConnection connection, const TaskParams& /*params*/, const QELDtFile& record,
                          FileRequest& request, void* buffer, const char* targetDirectory)
{
    return ReceiveFile(WriteMode::Unbuffered, connection, record, request, buffer, targetDirectory);
}

int ReceiveFileBuffered(RavelnetConnection connection, const TaskParams& /*params*/, const QELDtFile& record,
                        FileRequest& request, void* buffer, const char* targetDirectory)
{
    return ReceiveFile(WriteMode::Buffered, connection, record, request, buffer, targetDirectory);
}
