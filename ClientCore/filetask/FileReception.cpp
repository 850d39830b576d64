#include "filetask/FileReception.h"

#include "base/LogFile.h"
#include "base/Owners.h"
#include "base/Paths.h"
#include "filetask/BackgroundWriter.h"
#include "filetask/FileWrite.h"
#include "filetask/HeldFolders.h"
#include "protocol/TaskRecords.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace qek {

namespace {

// Makes the record the file the next requests name and builds its local
// path; fails (logged) for a name or path that cannot be used.
Status PrepareRequest(const QELDtFile& record, TaskProgress& progress, const char* targetDirectory,
                      char (&path)[kPathBufferSize])
{
    if (!IsSafeEntryName(record.name, sizeof(record.name))) {
        char printable[sizeof(record.name)];
        std::memcpy(printable, record.name, sizeof(printable) - 1);
        printable[sizeof(printable) - 1] = '\0';
        Log(ModuleLog(), "QEK_CORE: 待下载文件名不合法(%s)", printable);
        return Status::Failure(ERROR_INVALID_NAME);
    }
    progress.BeginFile(record);
    if (!JoinPath(path, targetDirectory, record.name)) {
        Log(ModuleLog(), "QEK_CORE: 待下载文件路径过长(%s)(%s)", targetDirectory, record.name);
        return Status::Failure(ERROR_FILENAME_EXCED_RANGE);
    }
    return Status::Ok();
}

Status LogCreationFailure(const char* path, Status failure)
{
    Log(ModuleLog(), "QEK_CORE: 建立待下载文件%s失败(%d)", path, failure.Code());
    return failure;
}

// Sets the end of the file at `size` and leaves the pointer at `pointerAfter`.
Status SetFileLength(HANDLE file, uint64_t size, uint64_t pointerAfter)
{
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
        return Status::LastError(ERROR_DISK_FULL);
    }
    position.QuadPart = static_cast<LONGLONG>(pointerAfter);
    return Status::FromCall(SetFilePointerEx(file, position, nullptr, FILE_BEGIN), ERROR_INVALID_PARAMETER);
}

Status SetLastWriteTime(HANDLE file, const RecordFileTime& time)
{
    FILETIME lastWrite{};
    lastWrite.dwLowDateTime = time.lowDateTime;
    lastWrite.dwHighDateTime = time.highDateTime;
    return Status::FromCall(SetFileTime(file, nullptr, nullptr, &lastWrite), ERROR_ACCESS_DENIED);
}

// The chunk of the file that starts at `received`: the rest, at most a buffer.
uint32_t ChunkLength(uint64_t size, uint64_t received)
{
    return static_cast<uint32_t>(std::min<uint64_t>(size - received, kReceiveBufferSize));
}

// Without the system cache every write is a whole buffer. Past a last chunk
// shorter than that the buffer still holds an earlier chunk's bytes, of this
// file or another one; they go to the disk with the block, and stay there
// when the cut to size fails. Zeros go instead.
void ClearPastChunk(void* buffer, uint32_t chunk)
{
    std::memset(static_cast<char*>(buffer) + chunk, 0, kReceiveBufferSize - chunk);
}

// Receives each chunk into the buffer and then writes it. `lastChunk` is the
// length of the last chunk received or written.
Status ReceiveThenWrite(RavelnetConnection connection, HANDLE file, void* buffer, uint64_t size, WriteMode mode,
                        uint32_t& lastChunk)
{
    uint64_t received = 0;
    Status result = Status::Ok();
    while (received < size) {
        lastChunk = ChunkLength(size, received);
        result = ReceiveExactly(connection, buffer, lastChunk);
        if (result.IsOk() && mode == WriteMode::Unbuffered) {
            ClearPastChunk(buffer, lastChunk);
            result = WriteAll(file, buffer, kReceiveBufferSize);
        } else if (result.IsOk()) {
            result = WriteAll(file, buffer, lastChunk);
        }
        received += lastChunk;
        if (result.Failed()) {
            break;
        }
    }
    return result;
}

// The same steps with two buffers in turn: while the writer writes one
// chunk, the next one arrives in the other buffer. A write's failure is taken
// before the next chunk's, as the steps one after the other would meet it.
Status ReceiveWhileWriting(RavelnetConnection connection, BackgroundWriter& writer, void* const (&buffers)[2],
                           uint64_t size, uint32_t& lastChunk)
{
    uint64_t received = 0;
    uint32_t writing = 0; // the length of the chunk being written
    size_t next = 0;
    while (received < size) {
        lastChunk = ChunkLength(size, received);
        const Status arrived = ReceiveExactly(connection, buffers[next], lastChunk);
        const Status written = writer.Wait();
        if (written.Failed()) {
            lastChunk = writing;
            return written;
        }
        received += lastChunk;
        if (arrived.Failed()) {
            return arrived;
        }
        ClearPastChunk(buffers[next], lastChunk);
        writer.Start(buffers[next], kReceiveBufferSize);
        writing = lastChunk;
        next = 1 - next;
    }
    return writer.Wait();
}

// Asks for the file and writes its bytes as they come. Without the system
// cache every write is the whole aligned buffer, so that each starts and ends
// on a sector; the cut to size comes after. There a file of more than one
// chunk is received into a second buffer while the first is written, so the
// disk and the connection work at once.
Status ReceiveContent(RavelnetConnection connection, HANDLE file, const TaskProgress& progress, void* buffer,
                      uint64_t size, WriteMode mode)
{
    // Not checked: a failed send shows as the failure of the first receive.
    const FileRequest request = MakeFileRequest(progress, kFileRequestSendFile);
    RavelnetSend(connection, &request, sizeof(request));
    uint32_t lastChunk = 0;
    Status result = Status::Ok();
    bool overlapped = false;
    if (mode == WriteMode::Unbuffered && size > kReceiveBufferSize) {
        const LockedBuffer second(kReceiveBufferSize);
        if (second.Memory() != nullptr) {
            BackgroundWriter writer(file);
            if (writer.Started()) {
                void* const buffers[2] = {buffer, second.Memory()};
                result = ReceiveWhileWriting(connection, writer, buffers, size, lastChunk);
                overlapped = true;
            }
        }
    }
    if (!overlapped) { // no second buffer or no thread: one step after the other
        result = ReceiveThenWrite(connection, file, buffer, size, mode, lastChunk);
    }
    if (lastChunk == kReceiveBufferSize) {
        // A transfer that ended on a full buffer is followed by a pause of
        // 1 ms: the client has always paused there, so a server sees the
        // conversation's timing it has always seen. It costs a millisecond
        // per file whose size is a multiple of 512 KiB, nothing for others.
        Sleep(1);
    }
    return result;
}

// Gives the unbuffered file its size and time through a buffered handle,
// opened without following a link and only used when it is the file that
// was written.
Status FinishUnbuffered(UniqueHandle file, const char* path, uint64_t size, const RecordFileTime& time)
{
    if (size == 0) {
        return SetLastWriteTime(file.Get(), time);
    }
    BY_HANDLE_FILE_INFORMATION written{};
    if (!GetFileInformationByHandle(file.Get(), &written)) {
        return Status::LastError(ERROR_ACCESS_DENIED);
    }
    file.Reset();
    const UniqueHandle reopened(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!reopened.IsValid()) {
        return Status::LastError(ERROR_ACCESS_DENIED);
    }
    BY_HANDLE_FILE_INFORMATION now{};
    if (!GetFileInformationByHandle(reopened.Get(), &now)) {
        return Status::LastError(ERROR_ACCESS_DENIED);
    }
    if (!SameFile(written, now)) {
        return Status::Failure(ERROR_FILE_INVALID); // another entry took its name meanwhile
    }
    const Status cut = SetFileLength(reopened.Get(), size, size);
    return cut.Failed() ? cut : SetLastWriteTime(reopened.Get(), time);
}

// Creates the file and fills it; the handle is closed on every way out.
Status WriteTarget(WriteMode mode, RavelnetConnection connection, const QELDtFile& record, const TaskProgress& progress,
                   void* buffer, const char* path)
{
    const DWORD flags =
        mode == WriteMode::Unbuffered ? FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN : FILE_FLAG_SEQUENTIAL_SCAN;
    UniqueHandle file;
    if (const Status created = OpenToWrite(path, GENERIC_WRITE, flags, ProtectedFile::MadeNormal, file);
        created.Failed()) {
        return LogCreationFailure(path, created);
    }
    const uint64_t size = RecordSize(record);

    if (mode == WriteMode::Buffered) {
        const Status reserved = SetFileLength(file.Get(), size, 0); // the whole size before any byte
        if (reserved.Failed()) {
            return reserved;
        }
    }
    if (size != 0) {
        const Status received = ReceiveContent(connection, file.Get(), progress, buffer, size, mode);
        if (received.Failed()) {
            return received;
        }
    }
    if (mode == WriteMode::Unbuffered) {
        return FinishUnbuffered(std::move(file), path, size, record.lastWriteTime);
    }
    return SetLastWriteTime(file.Get(), record.lastWriteTime);
}

Status ReceiveFile(WriteMode mode, RavelnetConnection connection, const QELDtFile& record, TaskProgress& progress,
                   void* buffer, FolderChain& folders)
{
    char path[kPathBufferSize];
    const Status prepared = PrepareRequest(record, progress, folders.Root().c_str(), path);
    if (prepared.Failed()) {
        return prepared;
    }
    // The folders on the way are held (the analysis made the listed ones), a
    // link planted in place of one replaced by a real folder; the file's own
    // name is made safe as it is opened.
    if (const Status held = folders.HoldBelowRoot(FolderOfName(record.name), MissingFolder::Stop); held.Failed()) {
        return LogCreationFailure(path, held);
    }
    const Status written = WriteTarget(mode, connection, record, progress, buffer, path);
    if (written.Failed()) {
        return written;
    }
    const uint64_t size = RecordSize(record);
    if (mode == WriteMode::Unbuffered) {
        Log(ModuleLog(), "QEK_CORE: 下载文件%s成功(%d)(%d)", path, static_cast<int>(HighHalf(size)),
            static_cast<int>(LowHalf(size)));
    }
    return Status::Ok();
}

} // namespace

Status ReceiveFileUnbuffered(RavelnetConnection connection, const TaskParams& /*params*/, const QELDtFile& record,
                             TaskProgress& progress, void* buffer, FolderChain& folders)
{
    return ReceiveFile(WriteMode::Unbuffered, connection, record, progress, buffer, folders);
}

Status ReceiveFileBuffered(RavelnetConnection connection, const TaskParams& /*params*/, const QELDtFile& record,
                           TaskProgress& progress, void* buffer, FolderChain& folders)
{
    return ReceiveFile(WriteMode::Buffered, connection, record, progress, buffer, folders);
}

Status DownloadListedFiles(RavelnetConnection connection, WriteMode mode, const TaskParams& params,
                           const FileList& fileList, TaskProgress& progress, FolderChain& folders,
                           const AfterFileReceived& afterEach)
{
    const LockedBuffer buffer(kReceiveBufferSize);
    if (buffer.Memory() == nullptr) {
        const Status failure = Status::LastError(ERROR_NOT_ENOUGH_MEMORY);
        Log(ModuleLog(), "QEK_CORE: 申请接收文件缓存失败,%d", failure.Code());
        return failure;
    }
    for (const FileList::Entry entry : fileList) {
        const QELDtFile& record = *entry.record;
        if (IsDirectoryRecord(record)) {
            // Made when the list was analysed; one that could not be made
            // (an empty one would never show it otherwise) ends the walk, so
            // that the game is not marked current without it.
            if (const Status made = folders.HoldBelowRoot(record.name); made.Failed()) {
                Log(ModuleLog(), "QEK_CORE: 下载文件失败(%s)(%d)", record.name, made.Code());
                return made;
            }
            continue;
        }
        const Status received =
            mode == WriteMode::Unbuffered
                ? ReceiveFileUnbuffered(connection, params, record, progress, buffer.Memory(), folders)
                : ReceiveFileBuffered(connection, params, record, progress, buffer.Memory(), folders);
        if (received.Failed()) {
            Log(ModuleLog(), "QEK_CORE: 下载文件失败(%s)(%d)", record.name, received.Code());
            return received;
        }
        if (afterEach) {
            const Status after = afterEach(record);
            if (after.Failed()) {
                return after;
            }
        }
        progress.FileDone(RecordSize(record));
    }
    return Status::Ok();
}

} // namespace qek
