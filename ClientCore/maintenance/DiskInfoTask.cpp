// The disk info task (type 20002).
#include "service/SyncService.h"

void SyncService::HandleDiskInfo(RavelnetConnection, uint32_t, const TaskRequest*, uint32_t) {}
