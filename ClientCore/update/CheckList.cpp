#include "update/CheckList.h"

#include "channel/TaskRecords.h"
#include "service/LogFile.h"
#include "update/LocalScan.h"
#include "update/UpdatePaths.h"

#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr uint32_t kChunkSize = 0x80000;

int LastErrorOr(int fallback)
{
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : fallback;
}

// Writes all of `length` bytes: 1, or the system error code. A write that
// reports success with fewer bytes is a full disk.
int WriteAll(HANDLE file, const void* data, DWORD length)
{
    DWORD written = 0;
    if (!WriteFile(file, data, length, &written, nullptr)) {
        return LastErrorOr(ERROR_DISK_FULL);
    }
    return written == length ? 1 : ERROR_DISK_FULL;
}

// Receives the check list into the open file; 1 or the first failure.
int ReceiveIntoFile(RavelnetConnection connection, HANDLE file, uint32_t size)
{
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kChunkSize]);
    if (!buffer) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    uint32_t remaining = size;
    while (remaining != 0) {
        const uint32_t chunk = std::min(remaining, kChunkSize);
        const int received = RavelnetRecv(connection, buffer.get(), chunk, kReceiveTimeoutMs);
        if (received != RAVELNET_OK) {
            return received;
        }
        const int written = WriteAll(file, buffer.get(), chunk);
        if (written != 1) {
            return written;
        }
        remaining -= chunk;
    }
    return 1;
}

int LogUnmappable()
{
    Log(ModuleLog(), "QEK_CORE: 建立数据检查内存映射失败(%d)", static_cast<int>(GetLastError()));
    return kResultCheckListUnmappable;
}

// Opens and maps the whole check file read-only, recording what it opened.
// Returns the view and its length, or nullptr after logging the failure.
const char* MapCheckFile(const char* path, HandleList& handles, ViewList& views, uint64_t& length)
{
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        LogUnmappable();
        return nullptr;
    }
    DWORD sizeHigh = 0;
    SetLastError(NO_ERROR);
    const DWORD sizeLow = GetFileSize(file, &sizeHigh);
    if (sizeLow == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        LogUnmappable();
        CloseHandle(file);
        return nullptr;
    }
    length = JoinHalves(sizeHigh, sizeLow);
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        LogUnmappable();
        handles.push_back(file);
        return nullptr;
    }
    handles.push_back(mapping);
    handles.push_back(file);
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) {
        LogUnmappable();
        return nullptr;
    }
    views.push_back(view);
    return static_cast<const char*>(view);
}

// A copy of a name for the log, cut at 255 bytes when it has no NUL.
struct PrintableName {
    explicit PrintableName(const char* name)
    {
        std::memcpy(text, name, sizeof(text) - 1);
        text[sizeof(text) - 1] = '\0';
    }
    char text[256];
};

// 1 when the record may go into the list, else the failure (logged).
int CheckRecordName(const QELDtFile& record, const char* root)
{
    if (!IsSafeEntryName(record.name, sizeof(record.name))) {
        Log(ModuleLog(), "QEK_CORE: QELDtFile文件名不合法，分析下载信息失败(%s)", PrintableName(record.name).text);
        return ERROR_INVALID_NAME;
    }
    if (std::strlen(root) + std::strlen(record.name) >= kPathBufferSize) {
        Log(ModuleLog(), "QEK_CORE: QELDtFile文件路径过长，分析下载信息失败(%s)(%s)", root, record.name);
        return ERROR_FILENAME_EXCED_RANGE;
    }
    return 1;
}

// Inserts the records up to the first one without the tag. Returns 1 when
// every record was read, 0 when a bad tag ended the walk (logged), or the
// failure of a record name.
int ReadRecords(const char* view, uint64_t length, const char* root, FileList& fileList)
{
    const uint64_t count = length / sizeof(QELDtFile);
    fileList.Reserve(static_cast<size_t>(count));
    for (uint64_t index = 0; index < count; ++index) {
        const auto* record = reinterpret_cast<const QELDtFile*>(view + index * sizeof(QELDtFile));
        if (record->tag != kQelDtFileTag) {
            Log(ModuleLog(), "QEK_CORE: QELDtFile结构无效，分析下载信息结束(%d)", static_cast<int>(record->tag));
            return 0;
        }
        const int nameCheck = CheckRecordName(*record, root);
        if (nameCheck != 1) {
            return nameCheck;
        }
        fileList.Insert(record);
    }
    return 1;
}

// Creates the listed directories and counts the files left to fetch.
void PrepareDirectoriesAndTotals(const char* root, const FileList& fileList, FileRequest& request)
{
    uint64_t totalBytes = 0;
    for (const FileList::Entry entry : fileList) {
        if (IsDirectoryRecord(*entry.record)) {
            char directory[kPathBufferSize];
            // A link in the place of a listed directory would carry its files
            // elsewhere: it is replaced by a real directory.
            if (ReplaceLinksBelowRoot(root, entry.record->name) == 1 &&
                JoinPath(directory, root, entry.record->name)) {
                SHCreateDirectoryExA(nullptr, directory, nullptr);
            }
        } else {
            ++request.filesToUpdate;
            totalBytes += RecordSize(*entry.record);
        }
    }
    request.bytesToUpdateHigh = HighHalf(totalBytes);
    request.bytesToUpdateLow = LowHalf(totalBytes);
    Log(ModuleLog(), "服务器同步任务,需要更新文件数目(%d),更新量(%d,%d)", static_cast<int>(request.filesToUpdate),
        static_cast<int>(request.bytesToUpdateHigh), static_cast<int>(request.bytesToUpdateLow));
}

} // namespace

bool CheckListFitsOnDisk(const char* folder, const char* checkFilePath, uint32_t size)
{
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExA(folder, &available, nullptr, nullptr)) {
        return true;
    }
    uint64_t replaced = 0;
    WIN32_FIND_DATAA existing{};
    HANDLE found = FindFirstFileA(checkFilePath, &existing);
    if (found != INVALID_HANDLE_VALUE) {
        replaced = static_cast<uint64_t>(existing.nFileSizeHigh) << 32 | existing.nFileSizeLow;
        FindClose(found);
    }
    if (size <= available.QuadPart + replaced) {
        return true;
    }
    Log(ModuleLog(), "QEK_CORE: 服务器数据检查文件大小超过磁盘剩余空间,放弃处理(%s)(%s)", checkFilePath,
        std::to_string(size).c_str());
    return false;
}

int ReceiveCheckFile(RavelnetConnection connection, const char* checkFilePath, const TaskParams& params,
                     FileList& fileList, HandleList& handles, ViewList& views, FileRequest& request,
                     int allowDelete, int skipLocalCompare)
{
    // A link planted at the check file's place would take the list elsewhere.
    const int unlinked = RemoveLinkAt(checkFilePath);
    if (unlinked != 1) {
        return unlinked;
    }
    HANDLE file = CreateFileA(checkFilePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return LastErrorOr(ERROR_ACCESS_DENIED);
    }
    const int received = ReceiveIntoFile(connection, file, params.checkListSize);
    CloseHandle(file);
    if (received != 1) {
        return received;
    }
    Log(ModuleLog(), "接收任务检查文件完成，%s,%d", checkFilePath, static_cast<int>(params.checkListSize));
    return AnalyseCheckFile(checkFilePath, params.gamePath, fileList, handles, views, request, allowDelete,
                            skipLocalCompare);
}

int AnalyseCheckFile(const char* checkFilePath, const char* root, FileList& fileList, HandleList& handles,
                     ViewList& views, FileRequest& request, int allowDelete, int skipLocalCompare)
{
    std::memset(&request, 0, sizeof(request));
    try {
        uint64_t length = 0;
        const char* view = MapCheckFile(checkFilePath, handles, views, length);
        if (view == nullptr) {
            return kResultCheckListUnmappable;
        }
        const int read = ReadRecords(view, length, root, fileList);
        if (read == 0) {
            return 1; // a record without the tag: the entries before it stand as they are
        }
        if (read != 1) {
            return read;
        }
        if (skipLocalCompare == 0) {
            ScanLocalDirectory(root, root, fileList, allowDelete);
        }
        PrepareDirectoriesAndTotals(root, fileList, request);
        return 1;
    } catch (const std::bad_alloc&) {
        // A list too large for this process' memory: no part of it is used.
        fileList.Clear();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

void ReleaseCheckList(FileList& fileList, HandleList& handles, ViewList& views)
{
    for (LPCVOID view : views) {
        UnmapViewOfFile(view);
    }
    views.clear();
    for (HANDLE handle : handles) {
        CloseHandle(handle);
    }
    handles.clear();
    fileList.Clear();
}
