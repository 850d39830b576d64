// The directory (file) sync task (type 20003).
#include "dirsync/DirectorySyncTask.h"

#include "channel/TaskGuard.h"
#include "dirsync/RootCopies.h"
#include "dirsync/SyncRoots.h"
#include "service/LogFile.h"
#include "service/ModulePaths.h"
#include "service/SyncService.h"
#include "update/CheckList.h"
#include "update/EndOfTask.h"
#include "update/FileReception.h"

#include <shlobj.h>
#include <windows.h>

#include <mutex>

namespace {

constexpr char kDataDirectory[] = "..\\Data\\";
constexpr char kDataFile[] = "..\\Data\\qelsyncfiles_dst.dat";

// Every task receives its check list into the one data file and reads the
// records in place until it releases the list. Two tasks at once would write
// their lists into each other's, so one task at a time holds the file.
std::timed_mutex& DataFileLock()
{
    static std::timed_mutex lock;
    return lock;
}

// The server's texts must end inside their fields, and the sub-path must
// leave a root below the directory found; logged when they do not.
bool ParamsUsable(const TaskParams& params)
{
    if (!HasTerminator(params.gamePath, sizeof(params.gamePath)) ||
        !HasTerminator(params.subPath, sizeof(params.subPath))) {
        Log(ModuleLog(), "QEK_CORE: 目录(文件)同步任务请求的路径没有结束符,任务ID(%d)",
            static_cast<int>(params.taskId));
        return false;
    }
    if (!IsUsableSubPath(params.subPath)) {
        Log(ModuleLog(), "QEK_CORE: 目录(文件)同步任务,子目录不合法(%s)", params.subPath);
        return false;
    }
    return true;
}

// Finds the roots, writing each into `gamePath`. False (logged) when the
// paths do not fit their buffers.
bool LocateRoots(TaskParams& params, SyncRoots& roots)
{
    RemoveTrailingBackslash(params.gamePath);
    char candidate[kPathBufferSize];
    if (!BuildCandidatePath(candidate, params.gamePath) || !RootFits(candidate, params.subPath)) {
        Log(ModuleLog(), "QEK_CORE: 目录(文件)同步任务,同步目录路径过长(%s)(%s)", params.gamePath, params.subPath);
        return false;
    }
    if (!CandidateNamesNoDirectory(candidate)) {
        roots = FindSyncRoots(params, candidate);
    }
    return true;
}

// The receive buffer: committed, and locked when the system allows it.
class ReceiveBuffer {
public:
    ReceiveBuffer() : memory_(VirtualAlloc(nullptr, kReceiveBufferSize, MEM_COMMIT, PAGE_READWRITE))
    {
        locked_ = memory_ != nullptr && VirtualLock(memory_, kReceiveBufferSize) != FALSE;
    }
    ~ReceiveBuffer()
    {
        if (locked_) {
            VirtualUnlock(memory_, kReceiveBufferSize);
        }
        if (memory_ != nullptr) {
            VirtualFree(memory_, 0, MEM_RELEASE);
        }
    }
    ReceiveBuffer(const ReceiveBuffer&) = delete;
    ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;

    void* Memory() const { return memory_; }

private:
    void* memory_;
    bool locked_ = false;
};

// Fetches every file of the list into the primary root, in order, and copies
// each to the copy roots; 1, or the first failure, after which nothing more
// is requested.
int DownloadAndCopy(RavelnetConnection connection, int32_t writeModeFlag, const TaskParams& params,
                    const SyncRoots& roots, const FileList& fileList, FileRequest& request, void* buffer)
{
    for (const FileList::Entry entry : fileList) {
        if (IsDirectoryRecord(*entry.record)) {
            continue;
        }
        const char* primary = roots.primary.c_str();
        const int received = writeModeFlag != 0
                                 ? ReceiveFileUnbuffered(connection, params, *entry.record, request, buffer, primary)
                                 : ReceiveFileBuffered(connection, params, *entry.record, request, buffer, primary);
        if (received != 1) {
            Log(ModuleLog(), "QEK_CORE: 下载文件失败(%s)(%d)", entry.record->name, received);
            return received;
        }
        const int copied = CopyToRoots(roots, entry.record->name);
        if (copied != 1) {
            return copied;
        }
        ++request.filesDone;
    }
    return 1;
}

// The check list into the data file, then the downloads and copies, with the
// data file held throughout; 1 when every file arrived.
int ReceiveListAndFiles(RavelnetConnection connection, int32_t writeModeFlag, const TaskParams& params,
                        const SyncRoots& roots, const char* dataFile, FileRequest& request)
{
    const std::unique_lock<std::timed_mutex> dataFileHeld = HoldSyncDataFile(dataFile, kSyncDataFileWait);
    if (!dataFileHeld.owns_lock()) {
        return ERROR_TIMEOUT;
    }
    FileList fileList;
    HandleList handles;
    ViewList views;
    const int analysed = ReceiveCheckFile(connection, dataFile, params, fileList, handles, views, request, 0,
                                          static_cast<int>(params.skipLocalCompare));
    if (analysed != 1) {
        Log(ModuleLog(), "QEK_CORE: 处理服务器数据检查文件失败(%d)", analysed);
        ReleaseCheckList(fileList, handles, views);
        return analysed;
    }
    int result = 1;
    {
        ReceiveBuffer buffer;
        if (buffer.Memory() == nullptr) {
            result = static_cast<int>(GetLastError());
            Log(ModuleLog(), "QEK_CORE: 申请接收文件缓存失败,%d", result);
        } else {
            result = DownloadAndCopy(connection, writeModeFlag, params, roots, fileList, request, buffer.Memory());
        }
    }
    ReleaseCheckList(fileList, handles, views); // the data file stays on disk
    return result;
}

// Everything after the reply that accepted the task.
void SyncDirectory(RavelnetConnection connection, int32_t writeModeFlag, const TaskParams& params, SyncRoots& roots)
{
    SHCreateDirectoryExA(nullptr, roots.primary.c_str(), nullptr);
    DropAliasedCopyRoots(roots);
    char dataFile[kPathBufferSize];
    char dataDirectory[kPathBufferSize];
    if (!PrepareSyncDataFile(dataFile, dataDirectory)) {
        Log(ModuleLog(), "QEK_CORE: 目录(文件)同步任务,数据文件路径无效(%s)", dataFile);
        return;
    }
    Log(ModuleLog(), "QEK_CORE: 开始处理服务器数据检查文件(%s)", dataFile);
    if (!CheckListFitsOnDisk(dataDirectory, dataFile, params.checkListSize)) {
        return;
    }
    FileRequest request{};
    if (ReceiveListAndFiles(connection, writeModeFlag, params, roots, dataFile, request) != 1) {
        return;
    }
    SendEndOfTask(connection, request);
    Log(ModuleLog(), "QEK_CORE: 下载目录(文件)同步任务完成,下载文件数目=%d,任务ID(%d),路径(%s)\r\n",
        static_cast<int>(request.filesDone), static_cast<int>(params.taskId), roots.primary.c_str());
}

} // namespace

std::unique_lock<std::timed_mutex> HoldSyncDataFile(const char* dataFile, std::chrono::milliseconds limit)
{
    std::unique_lock<std::timed_mutex> held(DataFileLock(), std::try_to_lock);
    if (held.owns_lock()) {
        return held;
    }
    Log(ModuleLog(), "QEK_CORE: 目录(文件)同步任务,等待数据文件(%s)", dataFile);
    if (!held.try_lock_for(limit)) {
        Log(ModuleLog(), "QEK_CORE: 目录(文件)同步任务,等待数据文件超时,放弃任务(%s)", dataFile);
    }
    return held;
}

bool PrepareSyncDataFile(char (&path)[kPathBufferSize], char (&directory)[kPathBufferSize])
{
    GetExecutableDirectory(directory, sizeof(directory));
    if (directory[0] == '\0' || !AppendIfFits(directory, sizeof(directory), kDataDirectory)) {
        return false;
    }
    SHCreateDirectoryExA(nullptr, directory, nullptr);
    GetExecutableDirectory(path, sizeof(path));
    return path[0] != '\0' && AppendIfFits(path, sizeof(path), kDataFile);
}

void RunDirectorySync(RavelnetConnection connection, int32_t writeModeFlag)
{
    TaskParams params{};
    const int received = RavelnetRecv(connection, &params, sizeof(params), kReceiveTimeoutMs);
    if (received != RAVELNET_OK) {
        Log(ModuleLog(), "QEK_CORE: 获取服务器任务请求失败(%d)", received);
        return;
    }
    SyncRoots roots;
    if (!ParamsUsable(params) || !LocateRoots(params, roots)) {
        return;
    }
    const bool found = !roots.primary.empty();
    const int replied = SendTaskReply(connection, MakeTaskReply(found ? kResultOk : kResultDirectoryNotFound));
    if (replied != RAVELNET_OK) {
        Log(ModuleLog(), "QEK_CORE: 回应服务器任务请求失败(%d)", replied);
        return;
    }
    if (!found) {
        Log(ModuleLog(), "QEK_CORE: 目录(文件)同步任务,指定根目录不存在(%s)", params.gamePath);
        return;
    }
    SyncDirectory(connection, writeModeFlag, params, roots);
}

void SyncService::HandleDirectorySync(RavelnetConnection connection, uint32_t, const TaskRequest*, uint32_t)
{
    RunGuarded(connection, kTaskDirectorySync, [&] { RunDirectorySync(connection, WriteModeFlag()); });
}
