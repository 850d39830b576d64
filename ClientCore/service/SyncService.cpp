#include "service/SyncService.h"

#include "service/TaskDispatch.h"
#include "service/WriteModeSetting.h"

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

SyncService::SyncService() : writeModeFlag_(ReadWriteModeSetting()) { }

SyncService::SyncService(int32_t writeModeFlag) : writeModeFlag_(writeModeFlag) { }

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

} // namespace qek
