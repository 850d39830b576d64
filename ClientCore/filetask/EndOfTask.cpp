#include "filetask/EndOfTask.h"

#include "base/LogFile.h"

#include <windows.h>

namespace qek {

void SendEndOfTask(RavelnetConnection connection, const TaskProgress& progress)
{
    const FileRequest request = MakeFileRequest(progress, kFileRequestEndOfTask);
    if (RavelnetSend(connection, &request, sizeof(request)) != RAVELNET_OK) {
        Log(ModuleLog(), "QEK_CORE: 发送结束任务命令失败(%d)", static_cast<int>(GetLastError()));
    }
}

} // namespace qek
