#include "service/TaskDispatch.h"

#include "service/ServiceLifecycle.h"
#include "service/SyncService.h"

#include <cstring>

namespace qek {

uint32_t OnTask(RavelnetConnection connection, uint32_t context, const RavelnetTaskHeader* header, uint32_t reserved)
{
    // The handlers read the header as the service's own record; the copy
    // lives as long as the task.
    TaskRequest request;
    std::memcpy(&request, header, sizeof request);

    // A stopped service has let its log go: it carries out nothing more.
    if (!ServiceAcceptsTasks()) {
        RavelnetDropTask(connection);
        return 1;
    }

    SyncService& service = TheSyncService();
    switch (request.type) {
    case kTaskGameUpdate:
        service.HandleUpdateTask(connection, context, &request, reserved);
        break;
    case kTaskDeleteGame:
        service.HandleDeleteGame(connection, context, &request, reserved);
        break;
    case kTaskDiskInfo:
        service.HandleDiskInfo(connection, context, &request, reserved);
        break;
    case kTaskDirectorySync:
        service.HandleDirectorySync(connection, context, &request, reserved);
        break;
    default:
        RavelnetDropTask(connection);
        break;
    }
    return 1;
}

} // namespace qek
