// The game update task (type 20000).
#include "service/SyncService.h"

void SyncService::HandleUpdateTask(RavelnetConnection, uint32_t, const TaskRequest*, uint32_t) {}
