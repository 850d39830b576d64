// The game update task (type 20000).
#include "update/UpdateTask.h"

#include "base/SystemNames.h"

#include "base/LogFile.h"
#include "base/Paths.h"
#include "filetask/CheckList.h"
#include "filetask/EndOfTask.h"
#include "filetask/FileReception.h"
#include "filetask/HeldFolders.h"
#include "filetask/LinkOwners.h"
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
// be a directory on a drive in the one accepted form and leave room for the
// temporary check list; logged when they do not.
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
    return true;
}

// Holds the game directory's way from the drive's root as far as it exists:
// it must be reached through no link but an administrator's or the
// system's; logged when it is not.
bool GameFolderTrusted(const TaskParams& params, FolderChain& game)
{
    std::optional<UntrustedLink> link;
    static_cast<void>(game.HoldRoot(MissingFolder::Stop, link)); // only the link is told here
    if (link) {
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

// The marker directory below the game directory, as a check list names it.
std::string MarkerFolderName()
{
    return std::string("\\") + kMarkerFolderName + "\\";
}

// Everything after an accepted reply: check list, downloads, new marker.
void UpdateGame(RavelnetConnection connection, WriteMode mode, const TaskParams& params, FolderChain& game)
{
    const DeletePolicy deletePolicy = DeletePolicyFor(params.gamePath);
    // The marker directory is made, and with it a missing game directory; a
    // link in its place is replaced by a real one: the marker and the check
    // list are written there.
    const Status markerDirectory = game.HoldBelowRoot(MarkerFolderName());
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
        const Status analysed = ReceiveCheckFile(connection, checkListPath, params, game, list, progress, deletePolicy,
                                                 LocalCompareOf(params));
        if (analysed.Failed()) {
            Log(ModuleLog(), "QEK_CORE: 处理服务器数据检查文件失败(%d)", analysed.Code());
            return;
        }
        downloaded = DownloadListedFiles(connection, mode, params, list.Entries(), progress, game);
    } // the list is let go before its file is deleted below
    if (downloaded.Failed()) {
        return; // old marker and the check list stay: the next task runs again
    }
    // The files are complete; a marker that cannot be written only means that
    // the next task compares them again.
    const Status marked = WriteGameVersion(game, params.gameVersion);
    if (marked.Failed()) {
        Log(ModuleLog(), "QEK_CORE: 写入游戏版本文件失败(%s)(%d)", params.gamePath, marked.Code());
    }
    if (game.HoldBelowRoot(MarkerFolderName(), MissingFolder::Stop).IsOk()) {
        DeleteFileA(checkListPath); // inside the held folder; a link there goes as itself
    }
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
    FolderChain game(params.gamePath);
    if (!GameFolderTrusted(params, game)) {
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
    UpdateGame(connection, mode, params, game);
}

} // namespace qek
