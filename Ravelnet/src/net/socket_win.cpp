// Socket primitives on Windows (Winsock 2: WSAPoll for waits).
#include "net/socket.h"

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <climits>
#include <vector>

namespace ravelnet::net {
namespace {

SOCKET Sock(NativeSocket socket)
{
    return static_cast<SOCKET>(socket);
}

NativeSocket Native(SOCKET socket)
{
    return socket == INVALID_SOCKET ? kNoSocket : static_cast<NativeSocket>(socket);
}

sockaddr_in MakeAddress(Ipv4 address, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

bool SetNonBlocking(SOCKET socket)
{
    u_long on = 1;
    return ::ioctlsocket(socket, FIONBIO, &on) == 0;
}

// Sockets are not handed down to processes the host may start.
void KeepFromChildren(SOCKET socket)
{
    ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

int ClampLength(std::size_t length)
{
    return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

// Single-socket waits use WSAPoll, which lists each socket once and reports
// an error or hang-up whatever was asked. select is kept for connects only
// (WaitConnected): before Windows 10 2004 WSAPoll did not report a failed
// connect. A socket must never stand in two sets of one select: Wine 8's
// server then fails an assertion and every later socket call hangs.
Readiness PollOne(NativeSocket socket, SHORT events, int timeoutMs)
{
    WSAPOLLFD entry{Sock(socket), events, 0};
    int count = ::WSAPoll(&entry, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (count > 0)
        return Readiness::Ready; // includes POLLHUP/POLLERR: the next call reports them
    return count == 0 ? Readiness::TimedOut : Readiness::Failed;
}

Step StepForError(int error)
{
    switch (error) {
    case WSAEWOULDBLOCK:
        return Step::WouldBlock;
    case WSAESHUTDOWN: // our own side was shut down: as on POSIX, the stream has ended
        return Step::PeerClosed;
    default:
        return Step::Failed;
    }
}

// What a failed accept() means for the accept loop. A connection that was
// reset while it waited in the queue is gone: Windows says WSAECONNRESET,
// Wine (which accepts on the host's socket first) WSAENOTCONN. Either way
// the connections queued behind it still wait to be taken.
Step AcceptStep(int error)
{
    switch (error) {
    case WSAEWOULDBLOCK:
        return Step::WouldBlock;
    case WSAECONNRESET:
    case WSAENOTCONN:
    case WSAECONNABORTED:
    case WSAEINTR:
        return Step::PeerClosed;
    default:
        return Step::Failed;
    }
}

} // namespace

bool StartNetworking()
{
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopNetworking()
{
    ::WSACleanup();
}

int LastSocketError()
{
    return ::WSAGetLastError();
}

std::string DescribeSocketError(int code)
{
    char text[512] = {};
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                    static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        text[--length] = '\0';
    if (length == 0)
        return "socket error " + std::to_string(code);
    return text;
}

UniqueSocket OpenListener(Ipv4 address, std::uint16_t port, int backlog)
{
    UniqueSocket listener(Native(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
    if (!listener.IsValid())
        return listener;
    const SOCKET s = Sock(listener.Get());
    KeepFromChildren(s);
    // On Windows SO_REUSEADDR would let another program take over the port;
    // exclusive use is the safe setting for a listener.
    BOOL on = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in sa = MakeAddress(address, port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, backlog) != 0 ||
        !SetNonBlocking(s)) {
        return UniqueSocket();
    }
    return listener;
}

std::optional<std::uint16_t> BoundPort(NativeSocket socket)
{
    sockaddr_in sa{};
    int size = sizeof sa;
    if (::getsockname(Sock(socket), reinterpret_cast<sockaddr*>(&sa), &size) != 0)
        return std::nullopt;
    return ntohs(sa.sin_port);
}

UniqueSocket AcceptPending(NativeSocket listener, Ipv4& peer, Step& step)
{
    sockaddr_in sa{};
    int size = sizeof sa;
    UniqueSocket accepted(Native(::accept(Sock(listener), reinterpret_cast<sockaddr*>(&sa), &size)));
    if (!accepted.IsValid()) {
        step = AcceptStep(::WSAGetLastError());
        return accepted;
    }
    KeepFromChildren(Sock(accepted.Get()));
    peer = sa.sin_family == AF_INET ? ntohl(sa.sin_addr.s_addr) : 0;
    step = Step::Moved;
    return accepted;
}

UniqueSocket BeginConnect(Ipv4 address, std::uint16_t port, bool& pending, std::optional<Ipv4> source)
{
    UniqueSocket connecting(Native(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
    if (!connecting.IsValid())
        return connecting;
    const SOCKET s = Sock(connecting.Get());
    KeepFromChildren(s);
    sockaddr_in from = MakeAddress(source.value_or(0), 0);
    if (!SetNonBlocking(s) || (source && ::bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0))
        return UniqueSocket();
    sockaddr_in sa = MakeAddress(address, port);
    int result = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    pending = result != 0 && ::WSAGetLastError() == WSAEWOULDBLOCK;
    if (result != 0 && !pending)
        return UniqueSocket();
    return connecting;
}

int ConnectError(NativeSocket socket)
{
    int error = 0;
    int size = sizeof error;
    if (::getsockopt(Sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
        return ::WSAGetLastError();
    return error;
}

bool PrepareConnection(NativeSocket socket)
{
    BOOL on = TRUE;
    ::setsockopt(Sock(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return SetNonBlocking(Sock(socket));
}

StepResult ReceiveSome(NativeSocket socket, void* buffer, std::size_t length)
{
    int n = ::recv(Sock(socket), static_cast<char*>(buffer), ClampLength(length), 0);
    if (n > 0)
        return {Step::Moved, static_cast<std::size_t>(n)};
    if (n == 0)
        return {Step::PeerClosed, 0};
    return {StepForError(::WSAGetLastError()), 0};
}

StepResult SendSome(NativeSocket socket, const void* buffer, std::size_t length)
{
    int n = ::send(Sock(socket), static_cast<const char*>(buffer), ClampLength(length), 0);
    if (n >= 0)
        return {Step::Moved, static_cast<std::size_t>(n)};
    Step step = StepForError(::WSAGetLastError());
    // Sending on a shut-down socket is a failure, not an end of stream.
    return {step == Step::PeerClosed ? Step::Failed : step, 0};
}

Readiness WaitReadable(NativeSocket socket, int timeoutMs)
{
    return PollOne(socket, POLLRDNORM, timeoutMs);
}

Readiness WaitWritable(NativeSocket socket, int timeoutMs)
{
    return PollOne(socket, POLLWRNORM, timeoutMs);
}

Readiness WaitConnected(NativeSocket socket, int timeoutMs)
{
    // A finished connect shows among the writable, a failed one among the
    // exceptions.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(Sock(socket), &writable);
    FD_SET(Sock(socket), &failed);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int count = ::select(0, nullptr, &writable, &failed, timeoutMs < 0 ? nullptr : &limit);
    if (count > 0)
        return Readiness::Ready;
    return count == 0 ? Readiness::TimedOut : Readiness::Failed;
}

void ShutdownBoth(NativeSocket socket)
{
    ::shutdown(Sock(socket), SD_BOTH);
}

void ShutdownSending(NativeSocket socket)
{
    ::shutdown(Sock(socket), SD_SEND);
}

void CloseSocket(NativeSocket socket)
{
    if (socket == kNoSocket)
        return;
    const int saved = ::WSAGetLastError();
    ::closesocket(Sock(socket));
    ::WSASetLastError(saved);
}

void ResetAndClose(UniqueSocket socket)
{
    linger abortive{1, 0};
    ::setsockopt(Sock(socket.Get()), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof abortive);
}

std::optional<std::string> ReadEnvironment(const char* name)
{
    // The process environment, not a C runtime's copy of it: the library and
    // its host may use different runtimes.
    ::SetLastError(ERROR_SUCCESS); // an empty value also gives 0, without an error
    DWORD needed = ::GetEnvironmentVariableA(name, nullptr, 0);
    if (needed == 0)
        return ::GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt : std::optional<std::string>("");
    std::string value(needed, '\0');
    DWORD length = ::GetEnvironmentVariableA(name, value.data(), needed);
    value.resize(length < needed ? length : 0);
    return value;
}

// ---- ReadinessWaiter: WSAPoll on the sockets and on a loopback datagram ----
// socket that Wake sends one byte to (WSAPoll waits on sockets only).

struct ReadinessWaiter::State {
    UniqueSocket wake;              // bound to 127.0.0.1 and connected to itself
    std::vector<WSAPOLLFD> entries; // kept between waits: no allocation per wait
};

ReadinessWaiter::ReadinessWaiter() : state_(std::make_unique<State>())
{
    UniqueSocket wake(Native(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)));
    if (!wake.IsValid())
        return;
    const SOCKET s = Sock(wake.Get());
    KeepFromChildren(s);
    sockaddr_in sa = MakeAddress(INADDR_LOOPBACK, 0);
    int size = sizeof sa;
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &size) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        return;
    }
    state_->wake = std::move(wake);
}

ReadinessWaiter::~ReadinessWaiter() = default;

bool ReadinessWaiter::Usable() const
{
    return state_->wake.IsValid();
}

ReadinessWaiter::Event ReadinessWaiter::Wait(const std::vector<NativeSocket>& sockets, int timeoutMs,
                                             std::vector<bool>& ready)
{
    if (sockets.size() > kMaxSockets)
        return Event::Failed;
    std::vector<WSAPOLLFD>& entries = state_->entries;
    entries.assign(1, WSAPOLLFD{Sock(state_->wake.Get()), POLLRDNORM, 0});
    for (NativeSocket socket : sockets)
        entries.push_back(WSAPOLLFD{Sock(socket), POLLRDNORM, 0});
    int count = ::WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), timeoutMs < 0 ? -1 : timeoutMs);
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
    ::send(Sock(state_->wake.Get()), &byte, 1, 0);
}

} // namespace ravelnet::net
