// The delete game task (type 20001).
#include "service/SyncService.h"

void SyncService::HandleDeleteGame(RavelnetConnection, uint32_t, const TaskRequest*, uint32_t) {}
