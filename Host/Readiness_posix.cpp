// POSIX: systemd's notification protocol, one datagram to the socket named by
// $NOTIFY_SOCKET (a path, or an abstract name after '@').
#include "Readiness.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

void Notify(const char* state)
{
    const char* socketName = std::getenv("NOTIFY_SOCKET");
    if (socketName == nullptr || (socketName[0] != '/' && socketName[0] != '@')) {
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(socketName);
    if (length >= sizeof address.sun_path) {
        return;
    }
    std::memcpy(address.sun_path, socketName, length);
    if (address.sun_path[0] == '@') {
        address.sun_path[0] = '\0';
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    const socklen_t addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    ::sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), addressLength);
    ::close(fd);
}

} // namespace

void NotifyReady()
{
    Notify("READY=1");
}

void NotifyStopping()
{
    Notify("STOPPING=1");
}
