// The directory (file) sync task (type 20003).
#include "service/SyncService.h"

void SyncService::HandleDirectorySync(RavelnetConnection, uint32_t, const TaskRequest*, uint32_t) {}
