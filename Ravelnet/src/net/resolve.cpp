// Name resolution: the same getaddrinfo call on both platforms, only the
// headers that declare it differ.
#include "net/socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace ravelnet::net {

std::optional<Ipv4> ResolveIpv4(const std::string& host)
{
    if (auto literal = ParseIpv4(host))
        return literal;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    Ipv4 address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(found);
    return address;
}

} // namespace ravelnet::net
