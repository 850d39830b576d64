#include "service/SyncService.h"

#include "channel/TaskGuard.h"
#include "dirsync/DirectorySyncTask.h"
#include "maintenance/DeleteGameTask.h"
#include "maintenance/DiskInfoTask.h"
#include "service/TaskDispatch.h"
#include "service/WriteModeSetting.h"
#include "update/UpdateTask.h"

#include <cstring>

namespace qek {

namespace {

// Constructed when the module is loaded, before the host can call anything.
SyncService theSyncService;

} // namespace

SyncService& TheSyncService()
{
    return theSyncService;
}

SyncService::SyncService() : writeMode_(ReadWriteModeSetting()) { }

SyncService::SyncService(WriteMode mode) : writeMode_(mode) { }

SyncService::~SyncService() = default;

int SyncService::OpenTaskServer()
{
    RavelnetServerSettings settings{};
    std::memcpy(settings.listenAddress, kTaskServerAddress, std::strlen(kTaskServerAddress) + 1);
    settings.port = kDefaultTaskPort;
    settings.one = 1;
    unsigned char unusedArea[8] = {};

    const RavelnetServer server = RavelnetOpenServer(&settings, unusedArea);
    if (server == 0) {
        return 0;
    }
    RavelnetSetTaskHandler(server, OnTask);
    return 1;
}

int SyncService::Stop()
{
    return 1;
}

void SyncService::HandleUpdateTask(RavelnetConnection connection, uint32_t /*context*/, const TaskRequest* /*request*/,
                                   uint32_t /*reserved*/)
{
    RunGuarded(connection, kTaskGameUpdate, [&] { RunUpdateTask(connection, writeMode_); });
}

void SyncService::HandleDeleteGame(RavelnetConnection connection, uint32_t /*context*/, const TaskRequest* request,
                                   uint32_t /*reserved*/)
{
    RunGuarded(connection, kTaskDeleteGame, [&] { RunDeleteGame(connection, request->payloadLength); });
}

void SyncService::HandleDiskInfo(RavelnetConnection connection, uint32_t /*context*/, const TaskRequest* /*request*/,
                                 uint32_t /*reserved*/)
{
    RunGuarded(connection, kTaskDiskInfo, [&] { RunDiskInfo(connection); });
}

void SyncService::HandleDirectorySync(RavelnetConnection connection, uint32_t /*context*/,
                                      const TaskRequest* /*request*/, uint32_t /*reserved*/)
{
    RunGuarded(connection, kTaskDirectorySync, [&] { RunDirectorySync(connection, writeMode_); });
}

} // namespace qek
