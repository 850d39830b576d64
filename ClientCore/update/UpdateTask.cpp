// The game update task (type 20000).
#include "update/UpdateTask.h"

#include "base/SystemNames.h"

#include "base/LogFile.h"
#include "filetask/CheckList.h"
#include "filetask/EndOfTask.h"
#include "filetask/FileReception.h"
#include "filetask/LinkOwners.h"
#include "filetask/WriteGuards.h"
#include "update/VersionMarker.h"

#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace qek {

namespace {

constexpr size_t kLocalVersionSize = 128;

// The server's strings must end inside their fields, the game directory must
// be a directory on a drive in the one accepted form, leave room for the
// temporary check list and be reached through no link but an administrator's
// or the system's; logged when they do not.
bool ParamsUsable(const TaskParams& params)
{
    if (!HasTerminator(params.gameVersion, sizeof(params.gameVersion)) ||
        !HasTerminator(params.gamePath, sizeof(params.gamePath))) {
        Log(ModuleLog(), "QEK_CORE: 服务器任务请求的版本或路径没有结束符,放弃更新,任务ID(%d)",
            static_cast<int>(params.taskId));
        return false;
    }
    if (std::strlen(params.gamePath) > kMaxGamePathBytes) {
        Log(ModuleLog(), "QEK_CORE: 游戏路径过长,放弃更新(%s)", params.gamePath);
        return false;
    }
    if (!IsGameDirectoryPath(params.gamePath)) {
        Log(ModuleLog(), "QEK_CORE: 游戏路径不合法,放弃更新(%s)", params.gamePath);
        return false;
    }
    if (const std::optional<UntrustedLink> link = FindUntrustedLink(params.gamePath)) {
        if (link->error == 0) {
            Log(ModuleLog(), "QEK_CORE: 游戏路径上的链接不属于管理员或系统,放弃更新(%s)(%s)", params.gamePath,
                link->path.c_str());
        } else {
            Log(ModuleLog(), "QEK_CORE: 检查游戏路径上的链接失败,放弃更新(%s)(%s)(%d)", params.gamePath,
                link->path.c_str(), link->error);
        }
        return false;
    }
    return true;
}

// Creates the marker directory (and with it a missing game directory). A link
// in its place is removed first: the marker and the check list are written
// there. Fails when such a link cannot be removed.
Status CreateMarkerDirectory(const char* gamePath)
{
    char directory[kPathBufferSize];
    if (!JoinPath(directory, gamePath, kMarkerFolderName)) {
        return Status::Failure(ERROR_FILENAME_EXCED_RANGE);
    }
    const Status unlinked = RemoveLinkAt(directory);
    SHCreateDirectoryExA(nullptr, directory, nullptr);
    return unlinked;
}

// Everything after an accepted reply: check list, downloads, new marker.
void UpdateGame(RavelnetConnection connection, WriteMode mode, const TaskParams& params)
{
    const DeletePolicy deletePolicy = DeletePolicyFor(params.gamePath);
    const Status markerDirectory = CreateMarkerDirectory(params.gamePath);
    char checkListPath[kPathBufferSize];
    BuildCheckListPath(checkListPath, sizeof(checkListPath), params.gamePath); // fits: ParamsUsable
    Log(ModuleLog(), "QEK_CORE: 开始处理服务器数据检查文件(%s)", checkListPath);
    if (markerDirectory.Failed()) {
        // The list would be written through the link that is still there.
        Log(ModuleLog(), "QEK_CORE: 处理服务器数据检查文件失败(%d)", markerDirectory.Code());
        return;
    }
    char markerFolder[kPathBufferSize];
    if (JoinPath(markerFolder, params.gamePath, kMarkerFolderName) &&
        !CheckListFitsOnDisk(markerFolder, checkListPath, params.checkListSize)) {
        return;
    }
    TaskProgress progress;
    Status downloaded = Status::Ok();
    {
        ReceivedCheckList list;
        const Status analysed =
            ReceiveCheckFile(connection, checkListPath, params, list, progress, deletePolicy, LocalCompareOf(params));
        if (analysed.Failed()) {
            Log(ModuleLog(), "QEK_CORE: 处理服务器数据检查文件失败(%d)", analysed.Code());
            return;
        }
        downloaded = DownloadListedFiles(connection, mode, params, list.Entries(), progress, params.gamePath);
    } // the list is let go before its file is deleted below
    if (downloaded.Failed()) {
        return; // old marker and the check list stay: the next task runs again
    }
    // The files are complete; a marker that cannot be written only means that
    // the next task compares them again.
    const Status marked = WriteGameVersion(params.gamePath, params.gameVersion);
    if (marked.Failed()) {
        Log(ModuleLog(), "QEK_CORE: 写入游戏版本文件失败(%s)(%d)", params.gamePath, marked.Code());
    }
    DeleteFileA(checkListPath);
    SendEndOfTask(connection, progress);
    Log(ModuleLog(), "QEK_CORE: 下载任务完成,下载文件数目=%d,任务ID(%d),路径(%s)\r\n",
        static_cast<int>(progress.filesDone), static_cast<int>(params.taskId), params.gamePath);
}

} // namespace

bool IsGameDirectoryPath(const char* gamePath)
{
    const std::optional<DrivePath> path = SystemNames().ParseDrivePath(gamePath);
    return path.has_value() && path->endsWithBackslash;
}

DeletePolicy DeletePolicyFor(const char* gamePath)
{
    const std::optional<DrivePath> path =
        SystemNames().ParseDrivePath(std::string_view(gamePath, strnlen(gamePath, kPathBufferSize)));
    return path.has_value() && path->components.size() >= 2 ? DeletePolicy::DeleteUnlisted : DeletePolicy::KeepUnlisted;
}

bool BuildCheckListPath(char* out, size_t size, const char* gamePath)
{
    return JoinPath(out, size, gamePath, kTemporaryCheckListName);
}

void RunUpdateTask(RavelnetConnection connection, WriteMode mode)
{
    TaskParams params{};
    const Status received = ReceiveExactly(connection, &params, sizeof(params));
    if (received.Failed()) {
        Log(ModuleLog(), "QEK_CORE: 获取服务器任务请求失败(%d)", received.Code());
        return;
    }
    if (!ParamsUsable(params)) {
        return;
    }
    char localVersion[kLocalVersionSize];
    ReadGameVersion(params.gamePath, localVersion, sizeof(localVersion));
    const bool versionsAgree = std::strcmp(params.gameVersion, localVersion) == 0;
    const TaskReply reply = MakeTaskReply(versionsAgree ? kResultVersionsAgree : kResultOk);
    const Status replied = SendTaskReply(connection, reply);
    if (replied.Failed()) {
        Log(ModuleLog(), "QEK_CORE: 回应服务器任务请求失败(%d)", replied.Code());
        return;
    }
    if (versionsAgree) {
        Log(ModuleLog(), "QEK_CORE: 版本一致放弃更新.(%s)(%s)", params.gamePath, params.gameVersion);
        return;
    }
    UpdateGame(connection, mode, params);
}

} // namespace qek
