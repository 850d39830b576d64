// The exported operations: handle checks and argument checks around the task
// server and connection objects. Nothing thrown inside crosses this boundary.
#include "ravelnet.h"

#include "connection.h"
#include "handle_registry.h"
#include "server_config.h"
#include "task_server.h"

#include <exception>
#include <memory>

namespace {

using ravelnet::Connections;
using ravelnet::TaskServer;

ravelnet::HandleRegistry<TaskServer>& Servers()
{
    // Never destroyed, like the connection registry: servers left open at
    // exit keep their threads until the process ends.
    static auto* registry = new ravelnet::HandleRegistry<TaskServer>;
    return *registry;
}

template <class Operation>
int Guarded(Operation operation) noexcept
{
    try {
        return operation();
    } catch (...) {
        return RAVELNET_E_SOCKET; // out of memory or threads: the system failed us
    }
}

} // namespace

extern "C" {

RAVELNET_API RavelnetServer RavelnetOpenServer(const RavelnetServerSettings* settings, void* unused)
{
    (void)unused; // the caller's 8-byte area: neither read nor written
    if (settings == nullptr)
        return 0;
    try {
        auto config = ravelnet::MakeServerConfig(*settings);
        if (!config)
            return 0;
        std::shared_ptr<TaskServer> server = TaskServer::Open(*config);
        if (!server)
            return 0;
        RavelnetServer handle = Servers().Add(server);
        try {
            server->Start(handle);
        } catch (...) {
            Servers().Remove(handle);
            throw;
        }
        return handle;
    } catch (...) {
        return 0;
    }
}

RAVELNET_API int RavelnetSetTaskHandler(RavelnetServer server, RavelnetTaskCallback callback)
{
    return Guarded([&] {
        auto found = Servers().Find(server);
        if (!found)
            return RAVELNET_E_HANDLE;
        found->SetCallback(callback);
        return RAVELNET_OK;
    });
}

RAVELNET_API int RavelnetRecv(RavelnetConnection connection, void* buffer, uint32_t length, uint32_t timeoutMs)
{
    return Guarded([&] {
        if (buffer == nullptr && length != 0)
            return RAVELNET_E_ARGUMENT;
        auto found = Connections().Find(connection);
        if (!found)
            return RAVELNET_E_HANDLE;
        return found->Receive(buffer, length, timeoutMs);
    });
}

RAVELNET_API int RavelnetSend(RavelnetConnection connection, const void* buffer, uint32_t length)
{
    return Guarded([&] {
        if (buffer == nullptr && length != 0)
            return RAVELNET_E_ARGUMENT;
        auto found = Connections().Find(connection);
        if (!found)
            return RAVELNET_E_HANDLE;
        return found->Send(buffer, length);
    });
}

RAVELNET_API int RavelnetReply(RavelnetConnection connection, const void* reply20)
{
    return Guarded([&] {
        if (reply20 == nullptr)
            return RAVELNET_E_ARGUMENT;
        auto found = Connections().Find(connection);
        if (!found)
            return RAVELNET_E_HANDLE;
        return found->Send(reply20, RAVELNET_REPLY_SIZE);
    });
}

RAVELNET_API int RavelnetDropTask(RavelnetConnection connection)
{
    return Guarded([&] {
        auto dropped = Connections().Remove(connection);
        if (!dropped)
            return RAVELNET_E_HANDLE;
        dropped->End();
        return RAVELNET_OK;
    });
}

RAVELNET_API int RavelnetCloseServer(RavelnetServer server)
{
    return Guarded([&] {
        auto found = Servers().Find(server);
        if (!found)
            return RAVELNET_E_HANDLE;
        // Closing waits for every callback of the server, the caller's too.
        if (found->IsOwnThread())
            return RAVELNET_E_ARGUMENT;
        auto closing = Servers().Remove(server);
        if (!closing)
            return RAVELNET_E_HANDLE; // another thread is closing it
        closing->Close();
        return RAVELNET_OK;
    });
}

RAVELNET_API int RavelnetServerPort(RavelnetServer server)
{
    return Guarded([&] {
        auto found = Servers().Find(server);
        return found ? static_cast<int>(found->Port()) : RAVELNET_E_HANDLE;
    });
}

RAVELNET_API int RavelnetGetServerStats(RavelnetServer server, RavelnetServerStats* stats)
{
    return Guarded([&] {
        if (stats == nullptr)
            return RAVELNET_E_ARGUMENT;
        auto found = Servers().Find(server);
        if (!found)
            return RAVELNET_E_HANDLE;
        *stats = found->Stats();
        return RAVELNET_OK;
    });
}

} // extern "C"
