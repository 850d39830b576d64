// The directory (file) sync task (type 20003).
#include "dirsync/DirectorySyncTask.h"

#include "base/LogFile.h"
#include "base/ModulePaths.h"
#include "base/SystemNames.h"
#include "dirsync/RootCopies.h"
#include "dirsync/SyncRoots.h"
#include "filetask/CheckList.h"
#include "filetask/EndOfTask.h"
#include "filetask/FileReception.h"

#include <windows.h>
#include <shlobj.h>

#include <mutex>

namespace qek {

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
    if (!SystemNames().IsUsableSubPath(params.subPath)) {
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

// The check list into the data file, then the downloads and copies, with the
// data file held throughout. Every file is fetched into the primary root, in
// order, and copied to the copy roots.
Status ReceiveListAndFiles(RavelnetConnection connection, WriteMode mode, const TaskParams& params,
                           const SyncRoots& roots, const char* dataFile, TaskProgress& progress)
{
    const std::unique_lock<std::timed_mutex> dataFileHeld = HoldSyncDataFile(dataFile, kSyncDataFileWait);
    if (!dataFileHeld.owns_lock()) {
        return Status::Failure(ERROR_TIMEOUT);
    }
    ReceivedCheckList list; // the data file stays on disk when the list goes
    const Status analysed = ReceiveCheckFile(connection, dataFile, params, list, progress, DeletePolicy::KeepUnlisted,
                                             LocalCompareOf(params));
    if (analysed.Failed()) {
        Log(ModuleLog(), "QEK_CORE: 处理服务器数据检查文件失败(%d)", analysed.Code());
        return analysed;
    }
    const auto copyToRoots = [&roots](const QELDtFile& record) { return CopyToRoots(roots, record.name); };
    return DownloadListedFiles(connection, mode, params, list.Entries(), progress, roots.primary.c_str(), copyToRoots);
}

// Everything after the reply that accepted the task.
void SyncDirectory(RavelnetConnection connection, WriteMode mode, const TaskParams& params, SyncRoots& roots)
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
    TaskProgress progress;
    if (ReceiveListAndFiles(connection, mode, params, roots, dataFile, progress).Failed()) {
        return;
    }
    SendEndOfTask(connection, progress);
    Log(ModuleLog(), "QEK_CORE: 下载目录(文件)同步任务完成,下载文件数目=%d,任务ID(%d),路径(%s)\r\n",
        static_cast<int>(progress.filesDone), static_cast<int>(params.taskId), roots.primary.c_str());
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

void RunDirectorySync(RavelnetConnection connection, WriteMode mode)
{
    TaskParams params{};
    const Status received = ReceiveExactly(connection, &params, sizeof(params));
    if (received.Failed()) {
        Log(ModuleLog(), "QEK_CORE: 获取服务器任务请求失败(%d)", received.Code());
        return;
    }
    SyncRoots roots;
    if (!ParamsUsable(params) || !LocateRoots(params, roots)) {
        return;
    }
    const bool found = !roots.primary.empty();
    const Status replied = SendTaskReply(connection, MakeTaskReply(found ? kResultOk : kResultDirectoryNotFound));
    if (replied.Failed()) {
        Log(ModuleLog(), "QEK_CORE: 回应服务器任务请求失败(%d)", replied.Code());
        return;
    }
    if (!found) {
        Log(ModuleLog(), "QEK_CORE: 目录(文件)同步任务,指定根目录不存在(%s)", params.gamePath);
        return;
    }
    SyncDirectory(connection, mode, params, roots);
}

} // namespace qek
