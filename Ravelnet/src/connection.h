// One task's connection, as the operations on a connection handle see it.
#pragma once

#include "handle_registry.h"
#include "net/socket.h"

#include <cstdint>

namespace ravelnet {

class Connection {
public:
    // The socket is closed when the connection goes: the last holder of the
    // connection ends it.
    Connection(net::UniqueSocket socket, std::uint32_t sendTimeoutMs);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Ravelnet result codes (RAVELNET_OK or a RAVELNET_E_ value).
    int Receive(void* buffer, std::uint32_t length, std::uint32_t timeoutMs);
    int Send(const void* buffer, std::uint32_t length);

    // Ends the conversation now: the peer sees the end of the stream at once
    // (after what was already sent), and a call waiting on the connection in
    // another thread returns with RAVELNET_E_CLOSED. The socket itself is
    // closed by the destructor, so no other thread can ever act on a reused
    // descriptor.
    void End();

    net::NativeSocket Socket() const { return socket_.Get(); }
    // Raised by End: transfers given it stop waiting.
    const net::StopFlag* Ended() const { return &ended_; }

private:
    net::UniqueSocket socket_;
    std::uint32_t sendTimeoutMs_;
    net::StopFlag ended_{false};
};

// The live connection handles of every server in the process. A handle is
// registered while its task's callback runs and removed when the callback
// returns or the task is dropped.
HandleRegistry<Connection>& Connections();

} // namespace ravelnet
