#include "filetask/CheckList.h"

#include "base/LogFile.h"
#include "base/Paths.h"
#include "filetask/FileWrite.h"
#include "filetask/LocalScan.h"
#include "protocol/TaskRecords.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace qek {

namespace {

// Receives the check list into the open file.
Status ReceiveIntoFile(RavelnetConnection connection, HANDLE file, uint32_t size)
{
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kChunkBytes]);
    if (!buffer) {
        return Status::Failure(ERROR_NOT_ENOUGH_MEMORY);
    }
    uint32_t remaining = size;
    while (remaining != 0) {
        const uint32_t chunk = std::min(remaining, kChunkBytes);
        const Status received = ReceiveExactly(connection, buffer.get(), chunk);
        if (received.Failed()) {
            return received;
        }
        const Status written = WriteAll(file, buffer.get(), chunk);
        if (written.Failed()) {
            return written;
        }
        remaining -= chunk;
    }
    return Status::Ok();
}

void LogUnmappable()
{
    Log(ModuleLog(), "QEK_CORE: 建立数据检查内存映射失败(%d)", static_cast<int>(GetLastError()));
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

// Whether the record may go into the list; the failure is logged.
Status CheckRecordName(const QELDtFile& record, const char* root)
{
    if (!IsSafeEntryName(record.name, sizeof(record.name))) {
        Log(ModuleLog(), "QEK_CORE: QELDtFile文件名不合法，分析下载信息失败(%s)", PrintableName(record.name).text);
        return Status::Failure(ERROR_INVALID_NAME);
    }
    if (std::strlen(root) + std::strlen(record.name) >= kPathBufferSize) {
        Log(ModuleLog(), "QEK_CORE: QELDtFile文件路径过长，分析下载信息失败(%s)(%s)", root, record.name);
        return Status::Failure(ERROR_FILENAME_EXCED_RANGE);
    }
    return Status::Ok();
}

enum class RecordsRead { All, UpToBadTag };

// Inserts the records up to the first one without the tag (logged, and told
// by `read`); fails with the failure of a record name.
Status ReadRecords(const char* view, uint64_t length, const char* root, FileList& fileList, RecordsRead& read)
{
    read = RecordsRead::All;
    const uint64_t count = length / sizeof(QELDtFile);
    fileList.Reserve(static_cast<size_t>(count));
    for (uint64_t index = 0; index < count; ++index) {
        const auto* record = reinterpret_cast<const QELDtFile*>(view + index * sizeof(QELDtFile));
        if (record->tag != kQelDtFileTag) {
            Log(ModuleLog(), "QEK_CORE: QELDtFile结构无效，分析下载信息结束(%d)", static_cast<int>(record->tag));
            read = RecordsRead::UpToBadTag;
            return Status::Ok();
        }
        const Status nameCheck = CheckRecordName(*record, root);
        if (nameCheck.Failed()) {
            return nameCheck;
        }
        fileList.Insert(record);
    }
    return Status::Ok();
}

// Creates the listed directories and counts the files left to fetch. A
// directory that cannot be made does not refuse the list (nothing of a
// refused list is made or removed, and this comes after the local scan): the
// walk over the listed entries fails on it (DownloadListedFiles).
void PrepareDirectoriesAndTotals(FolderChain& folders, const FileList& fileList, TaskProgress& progress)
{
    uint64_t totalBytes = 0;
    for (const FileList::Entry entry : fileList) {
        if (IsDirectoryRecord(*entry.record)) {
            // Made as the chain is held down to it: a link in the place of a
            // listed directory, which would carry its files elsewhere, is
            // replaced by a real one.
            static_cast<void>(folders.HoldBelowRoot(entry.record->name));
        } else {
            ++progress.filesToUpdate;
            totalBytes += RecordSize(*entry.record);
        }
    }
    progress.bytesToUpdate = totalBytes;
    Log(ModuleLog(), "服务器同步任务,需要更新文件数目(%d),更新量(%d,%d)", static_cast<int>(progress.filesToUpdate),
        static_cast<int>(HighHalf(totalBytes)), static_cast<int>(LowHalf(totalBytes)));
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
    const UniqueFindHandle found(FindFirstFileA(checkFilePath, &existing));
    if (found.IsValid()) {
        replaced = JoinHalves(existing.nFileSizeHigh, existing.nFileSizeLow);
    }
    if (size <= available.QuadPart + replaced) {
        return true;
    }
    Log(ModuleLog(), "QEK_CORE: 服务器数据检查文件大小超过磁盘剩余空间,放弃处理(%s)(%s)", checkFilePath,
        std::to_string(size).c_str());
    return false;
}

Status ReceiveCheckFile(RavelnetConnection connection, const char* checkFilePath, const TaskParams& params,
                        FolderChain& folders, ReceivedCheckList& list, TaskProgress& progress,
                        DeletePolicy deletePolicy, LocalCompare compare)
{
    // Written, and then read, through one handle: a link planted at the
    // check file's place, or a hard link, is removed as itself first and
    // never written through (the caller holds the file's folder).
    UniqueHandle file;
    if (const Status opened = OpenToWrite(checkFilePath, GENERIC_READ | GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL,
                                          ProtectedFile::Refused, file);
        opened.Failed()) {
        return opened;
    }
    if (const Status received = ReceiveIntoFile(connection, file.Get(), params.checkListSize); received.Failed()) {
        return received;
    }
    Log(ModuleLog(), "接收任务检查文件完成，%s,%d", checkFilePath, static_cast<int>(params.checkListSize));
    uint64_t length = 0;
    const char* view = list.MapOpen(std::move(file), length);
    return AnalyseMapped(view, length, folders, list, progress, deletePolicy, compare);
}

Status AnalyseCheckFile(const char* checkFilePath, FolderChain& folders, ReceivedCheckList& list,
                        TaskProgress& progress, DeletePolicy deletePolicy, LocalCompare compare)
{
    uint64_t length = 0;
    const char* view = list.Map(checkFilePath, length);
    return AnalyseMapped(view, length, folders, list, progress, deletePolicy, compare);
}

Status AnalyseMapped(const char* view, uint64_t length, FolderChain& folders, ReceivedCheckList& list,
                     TaskProgress& progress, DeletePolicy deletePolicy, LocalCompare compare)
{
    progress = TaskProgress{};
    const char* root = folders.Root().c_str();
    try {
        if (view == nullptr) {
            return Status::Failure(kResultCheckListUnmappable);
        }
        FileList& entries = list.Entries();
        RecordsRead read = RecordsRead::All;
        const Status records = ReadRecords(view, length, root, entries, read);
        if (records.Failed() || read == RecordsRead::UpToBadTag) {
            return records; // after a record without the tag the entries before it stand as they are
        }
        if (compare == LocalCompare::Compare) {
            ScanLocalDirectory(folders, root, entries, deletePolicy);
        }
        PrepareDirectoriesAndTotals(folders, entries, progress);
        return Status::Ok();
    } catch (const std::bad_alloc&) {
        // A list too large for this process' memory: no part of it is used.
        list.Entries().Clear();
        return Status::Failure(ERROR_NOT_ENOUGH_MEMORY);
    }
}

const char* ReceivedCheckList::Map(const char* path, uint64_t& length)
{
    UniqueHandle file(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return MapOpen(std::move(file), length);
}

const char* ReceivedCheckList::MapOpen(UniqueHandle file, uint64_t& length)
{
    ReleaseCheckList();
    if (!file.IsValid()) {
        LogUnmappable();
        return nullptr;
    }
    DWORD sizeHigh = 0;
    SetLastError(NO_ERROR);
    const DWORD sizeLow = GetFileSize(file.Get(), &sizeHigh);
    if (sizeLow == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        LogUnmappable();
        return nullptr;
    }
    length = JoinHalves(sizeHigh, sizeLow);
    UniqueHandle mapping(CreateFileMappingA(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping.IsValid()) {
        LogUnmappable();
        return nullptr;
    }
    UniqueView view(MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0));
    if (!view.IsValid()) {
        LogUnmappable();
        return nullptr;
    }
    file_ = std::move(file);
    mapping_ = std::move(mapping);
    view_ = std::move(view);
    return static_cast<const char*>(view_.Get());
}

void ReceivedCheckList::ReleaseCheckList()
{
    entries_.Clear();
    view_.Reset();
    mapping_.Reset();
    file_.Reset();
}

} // namespace qek
