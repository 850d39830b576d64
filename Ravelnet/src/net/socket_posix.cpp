// Socket primitives on POSIX (BSD sockets, poll, a pipe to wake the acceptor).
#include "net/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ravelnet::net {
namespace {

int Fd(NativeSocket socket)
{
    return static_cast<int>(socket);
}

sockaddr_in MakeAddress(Ipv4 address, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

bool SetNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool IsWouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

// accept() errors that concern only the connection being taken: it was reset
// while it waited, or the network path to it failed (accept(2) asks to treat
// these like "try again"). An interrupted accept is retried the same way.
bool IsConnectionGone(int error)
{
    switch (error) {
    case ECONNABORTED:
    case EINTR:
    case EPROTO:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

Readiness WaitFor(NativeSocket socket, short events, int timeoutMs)
{
    pollfd entry{Fd(socket), events, 0};
    for (;;) {
        int ready = ::poll(&entry, 1, timeoutMs);
        if (ready > 0)
            return Readiness::Ready; // includes POLLHUP/POLLERR: the next call reports them
        if (ready == 0)
            return Readiness::TimedOut;
        if (errno != EINTR)
            return Readiness::Failed;
        // Interrupted by a signal: waiting again with the full time-out is
        // at worst a little long, never short.
    }
}

} // namespace

bool StartNetworking()
{
    return true;
}

void StopNetworking() { }

int LastSocketError()
{
    return errno;
}

std::string DescribeSocketError(int code)
{
    return std::strerror(code);
}

UniqueSocket OpenListener(Ipv4 address, std::uint16_t port, int backlog)
{
    UniqueSocket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.IsValid())
        return listener;
    const int fd = Fd(listener.Get());
    // A restarted server may bind its port while old connections linger in
    // TIME_WAIT; on POSIX this does not let two listeners share a port.
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa = MakeAddress(address, port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, backlog) != 0 ||
        !SetNonBlocking(fd)) {
        return UniqueSocket();
    }
    return listener;
}

std::optional<std::uint16_t> BoundPort(NativeSocket socket)
{
    sockaddr_in sa{};
    socklen_t size = sizeof sa;
    if (::getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&sa), &size) != 0)
        return std::nullopt;
    return ntohs(sa.sin_port);
}

UniqueSocket AcceptPending(NativeSocket listener, Ipv4& peer, Step& step)
{
    sockaddr_in sa{};
    socklen_t size = sizeof sa;
    UniqueSocket accepted(::accept4(Fd(listener), reinterpret_cast<sockaddr*>(&sa), &size, SOCK_CLOEXEC));
    if (!accepted.IsValid()) {
        step = IsWouldBlock(errno) ? Step::WouldBlock : IsConnectionGone(errno) ? Step::PeerClosed : Step::Failed;
        return accepted;
    }
    peer = sa.sin_family == AF_INET ? ntohl(sa.sin_addr.s_addr) : 0;
    step = Step::Moved;
    return accepted;
}

UniqueSocket BeginConnect(Ipv4 address, std::uint16_t port, bool& pending, std::optional<Ipv4> source)
{
    UniqueSocket connecting(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connecting.IsValid())
        return connecting;
    const int fd = Fd(connecting.Get());
    sockaddr_in from = MakeAddress(source.value_or(0), 0);
    if (!SetNonBlocking(fd) || (source && ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0))
        return UniqueSocket();
    sockaddr_in sa = MakeAddress(address, port);
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    } while (result != 0 && errno == EINTR);
    pending = result != 0 && errno == EINPROGRESS;
    if (result != 0 && !pending)
        return UniqueSocket();
    return connecting;
}

int ConnectError(NativeSocket socket)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return errno;
    return error;
}

bool PrepareConnection(NativeSocket socket)
{
    int on = 1;
    ::setsockopt(Fd(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
#ifdef SO_NOSIGPIPE
    ::setsockopt(Fd(socket), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return SetNonBlocking(Fd(socket));
}

StepResult ReceiveSome(NativeSocket socket, void* buffer, std::size_t length)
{
    for (;;) {
        ssize_t n = ::recv(Fd(socket), buffer, length, 0);
        if (n > 0)
            return {Step::Moved, static_cast<std::size_t>(n)};
        if (n == 0)
            return {Step::PeerClosed, 0};
        if (errno == EINTR)
            continue;
        return {IsWouldBlock(errno) ? Step::WouldBlock : Step::Failed, 0};
    }
}

StepResult SendSome(NativeSocket socket, const void* buffer, std::size_t length)
{
#ifdef MSG_NOSIGNAL
    constexpr int kFlags = MSG_NOSIGNAL; // a closed peer is an error code, not a signal
#else
    constexpr int kFlags = 0; // SO_NOSIGPIPE was set by PrepareConnection
#endif
    for (;;) {
        ssize_t n = ::send(Fd(socket), buffer, length, kFlags);
        if (n >= 0)
            return {Step::Moved, static_cast<std::size_t>(n)};
        if (errno == EINTR)
            continue;
        return {IsWouldBlock(errno) ? Step::WouldBlock : Step::Failed, 0};
    }
}

Readiness WaitReadable(NativeSocket socket, int timeoutMs)
{
    return WaitFor(socket, POLLIN, timeoutMs);
}

Readiness WaitWritable(NativeSocket socket, int timeoutMs)
{
    return WaitFor(socket, POLLOUT, timeoutMs);
}

Readiness WaitConnected(NativeSocket socket, int timeoutMs)
{
    return WaitFor(socket, POLLOUT, timeoutMs); // a failed connect shows as POLLERR
}

void ShutdownBoth(NativeSocket socket)
{
    ::shutdown(Fd(socket), SHUT_RDWR);
}

void ShutdownSending(NativeSocket socket)
{
    ::shutdown(Fd(socket), SHUT_WR);
}

void CloseSocket(NativeSocket socket)
{
    if (socket == kNoSocket)
        return;
    const int saved = errno;
    ::close(Fd(socket));
    errno = saved;
}

void ResetAndClose(UniqueSocket socket)
{
    linger abortive{1, 0};
    ::setsockopt(Fd(socket.Get()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

std::optional<std::string> ReadEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr)
        return std::nullopt;
    return std::string(value);
}

// ---- ReadinessWaiter: poll on the sockets and on a pipe written by Wake ----

// The pipe's ends are descriptors like a socket's and are held the same way.
struct ReadinessWaiter::State {
    UniqueSocket wakeRead;
    UniqueSocket wakeWrite;
    std::vector<pollfd> entries; // kept between waits: no allocation per wait
};

ReadinessWaiter::ReadinessWaiter() : state_(std::make_unique<State>())
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        state_->wakeRead.Reset(ends[0]);
        state_->wakeWrite.Reset(ends[1]);
    }
}

ReadinessWaiter::~ReadinessWaiter() = default;

bool ReadinessWaiter::Usable() const
{
    return state_->wakeRead.IsValid();
}

ReadinessWaiter::Event ReadinessWaiter::Wait(const std::vector<NativeSocket>& sockets, int timeoutMs,
                                             std::vector<bool>& ready)
{
    if (sockets.size() > kMaxSockets)
        return Event::Failed;
    std::vector<pollfd>& entries = state_->entries;
    entries.assign(1, pollfd{Fd(state_->wakeRead.Get()), POLLIN, 0});
    for (NativeSocket socket : sockets)
        entries.push_back(pollfd{Fd(socket), POLLIN, 0});
    int count;
    do {
        count = ::poll(entries.data(), entries.size(), timeoutMs);
    } while (count < 0 && errno == EINTR); // at worst a little long, never short
    if (count < 0)
        return Event::Failed;
    // The wake byte is never read, so a woken waiter stays woken.
    if (entries[0].revents != 0)
        return Event::Woken;
    if (count == 0)
        return Event::TimedOut;
    ready.assign(sockets.size(), false);
    for (std::size_t i = 0; i < sockets.size(); ++i)
        ready[i] = entries[i + 1].revents != 0;
    return Event::Ready;
}

void ReadinessWaiter::Wake()
{
    const char byte = 1;
    ssize_t written;
    do {
        written = ::write(Fd(state_->wakeWrite.Get()), &byte, 1);
    } while (written < 0 && errno == EINTR);
}

} // namespace ravelnet::net
