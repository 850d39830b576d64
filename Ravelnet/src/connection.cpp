#include "connection.h"

#include "ravelnet.h"

#include <utility>

namespace ravelnet {
namespace {

int ResultOf(net::Transfer transfer)
{
    switch (transfer) {
    case net::Transfer::Complete:
        return RAVELNET_OK;
    case net::Transfer::PeerClosed:
    case net::Transfer::Stopped: // ended by RavelnetDropTask meanwhile
        return RAVELNET_E_CLOSED;
    case net::Transfer::TimedOut:
        return RAVELNET_E_TIMEOUT;
    case net::Transfer::Failed:
        break;
    }
    return RAVELNET_E_SOCKET;
}

} // namespace

Connection::Connection(net::UniqueSocket socket, std::uint32_t sendTimeoutMs)
    : socket_(std::move(socket)), sendTimeoutMs_(sendTimeoutMs)
{
}

int Connection::Receive(void* buffer, std::uint32_t length, std::uint32_t timeoutMs)
{
    return ResultOf(net::ReceiveExact(socket_.Get(), buffer, length, timeoutMs, &ended_));
}

int Connection::Send(const void* buffer, std::uint32_t length)
{
    return ResultOf(net::SendAll(socket_.Get(), buffer, length, sendTimeoutMs_, &ended_));
}

void Connection::End()
{
    ended_.store(true);
    net::ShutdownBoth(socket_.Get());
}

HandleRegistry<Connection>& Connections()
{
    // Never destroyed: task threads of a server nobody closed may still use
    // it while the process exits.
    static auto* registry = new HandleRegistry<Connection>;
    return *registry;
}

} // namespace ravelnet
