// Delete game task (type 20001): the server names a game directory; it is
// removed from every drive but the one holding the Windows directory, and the
// reply goes out when every drive has been processed.
#include "maintenance/DeleteGameTask.h"

#include "base/LogFile.h"
#include "base/SystemNames.h"
#include "filetask/DeleteTree.h"
#include "filetask/LinkOwners.h"
#include "maintenance/DriveList.h"
#include "maintenance/GamePath.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace qek {

namespace {

// A game path is a few hundred bytes at most; a longer announced payload is
// refused before anything is allocated or received.
constexpr uint32_t kMaxGamePathPayload = 64 * 1024;

// The drive letter of the Windows directory; 0 when it cannot be read.
char SystemDriveLetter()
{
    char windowsDirectory[MAX_PATH] = {};
    if (GetWindowsDirectoryA(windowsDirectory, sizeof windowsDirectory) == 0) {
        return '\0';
    }
    return windowsDirectory[0];
}

// Writes each drive's letter over the first character of `path` and removes
// the tree there, skipping the system drive, and any drive where a component
// of the path is a link that neither an administrator nor the system made.
// An unknown system drive protects every drive: nothing is removed.
void RemoveFromNonSystemDrives(char* path)
{
    const char systemLetter = SystemDriveLetter();
    for (const std::string& root : LogicalDriveRoots()) {
        path[0] = root[0];
        if (systemLetter == '\0' || IsSystemDrive(path[0], systemLetter)) {
            continue;
        }
        if (!IsValidSecondLevelPath(path, SystemNames())) {
            Log(ModuleLog(), "QEK_CORE: 删除游戏任务跳过不合法的二级路径(%s)", path);
            continue;
        }
        if (const std::optional<UntrustedLink> link = FindUntrustedLink(path)) {
            if (link->error == 0) {
                Log(ModuleLog(), "QEK_CORE: 删除游戏任务跳过路径上不属于管理员或系统的链接(%s)(%s)", path,
                    link->path.c_str());
            } else {
                Log(ModuleLog(), "QEK_CORE: 删除游戏任务检查路径上的链接失败,跳过(%s)(%s)(%d)", path,
                    link->path.c_str(), link->error);
            }
            continue;
        }
        // The task goes on with the other drives and answers as always; a
        // drive that kept part of the game is named in the log.
        const Status removed = DeleteTree(path);
        if (removed.Failed()) {
            Log(ModuleLog(), "QEK_CORE: 删除游戏任务删除目录失败(%s)(%d)", path, removed.Code());
        }
    }
}

} // namespace

void RunDeleteGame(RavelnetConnection connection, uint32_t payloadLength)
{
    const uint32_t length = payloadLength;
    if (length > kMaxGamePathPayload) {
        // No reply: the connection closes when the task returns, before the
        // server's oversized payload is read.
        Log(ModuleLog(), "QEK_CORE: 删除游戏任务请求过长(%s)", std::to_string(length).c_str());
        return;
    }
    // Zeroed and one byte longer than the payload, so that the path ends even
    // when the server sends no terminator; at least two bytes, so that a drive
    // letter written over an empty path still leaves its terminator.
    std::vector<char> path(std::max<uint32_t>(length, 1) + 1, '\0');
    if (length > 0) {
        const Status received = ReceiveExactly(connection, path.data(), length);
        if (received.Failed()) {
            Log(ModuleLog(), "QEK_CORE: 获取服务器删除游戏任务请求失败(%d)", received.Code());
            return;
        }
    }
    Log(ModuleLog(), "QEK_CORE: 删除游戏任务开始,原始路径(%s)", path.data());

    RemoveFromNonSystemDrives(path.data());

    const TaskReply reply = MakeTaskReply(kResultOk);
    const int replied = RavelnetReply(connection, &reply);
    Log(ModuleLog(), "QEK_CORE: 删除游戏任务完成(%d)", replied);
}

} // namespace qek
