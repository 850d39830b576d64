#include "channel/TaskGuard.h"

#include "base/LogFile.h"

namespace qek {

void EndFailedTask(RavelnetConnection connection, uint32_t taskType, const char* reason) noexcept
{
    try {
        Log(ModuleLog(), "QEK_CORE: 任务因异常中止,任务类型(%d),原因(%s)", static_cast<int>(taskType), reason);
    } catch (...) {
        // The log could not be written either; the task still ends.
    }
    RavelnetDropTask(connection);
}

} // namespace qek
