// Socket primitives on Windows (Winsock 2: select for every wait).
#include "net/socket.h"

// Winsock's fd_set holds FD_SETSIZE sockets (64 unless raised before the
// header): the header reader watches up to ReadinessWaiter::kMaxSockets.
#define FD_SETSIZE 1024

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>

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

void CloseRetainingError(SOCKET socket)
{
    int saved = ::WSAGetLastError();
    ::closesocket(socket);
    ::WSASetLastError(saved);
}

enum class Direction { Read, Write };

Readiness WaitFor(NativeSocket socket, Direction direction, int timeoutMs)
{
    fd_set ready;
    fd_set failed; // a failed connect shows here, not among the writable
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(Sock(socket), &ready);
    FD_SET(Sock(socket), &failed);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int count = ::select(0, direction == Direction::Read ? &ready : nullptr,
                         direction == Direction::Write ? &ready : nullptr, &failed,
                         timeoutMs < 0 ? nullptr : &limit);
    if (count > 0)
        return Readiness::Ready;
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

NativeSocket OpenListener(Ipv4 address, std::uint16_t port, int backlog)
{
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    KeepFromChildren(s);
    // On Windows SO_REUSEADDR would let another program take over the port;
    // exclusive use is the safe setting for a listener.
    BOOL on = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in sa = MakeAddress(address, port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, backlog) != 0 ||
        !SetNonBlocking(s)) {
        CloseRetainingError(s);
        return kNoSocket;
    }
    return Native(s);
}

std::optional<std::uint16_t> BoundPort(NativeSocket socket)
{
    sockaddr_in sa{};
    int size = sizeof sa;
    if (::getsockname(Sock(socket), reinterpret_cast<sockaddr*>(&sa), &size) != 0)
        return std::nullopt;
    return ntohs(sa.sin_port);
}

NativeSocket AcceptPending(NativeSocket listener, Ipv4& peer, Step& step)
{
    sockaddr_in sa{};
    int size = sizeof sa;
    SOCKET s = ::accept(Sock(listener), reinterpret_cast<sockaddr*>(&sa), &size);
    if (s == INVALID_SOCKET) {
        step = AcceptStep(::WSAGetLastError());
        return kNoSocket;
    }
    KeepFromChildren(s);
    peer = sa.sin_family == AF_INET ? ntohl(sa.sin_addr.s_addr) : 0;
    step = Step::Moved;
    return Native(s);
}

NativeSocket BeginConnect(Ipv4 address, std::uint16_t port, bool& pending, std::optional<Ipv4> source)
{
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    KeepFromChildren(s);
    sockaddr_in from = MakeAddress(source.value_or(0), 0);
    if (!SetNonBlocking(s) || (source && ::bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)) {
        CloseRetainingError(s);
        return kNoSocket;
    }
    sockaddr_in sa = MakeAddress(address, port);
    int result = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    pending = result != 0 && ::WSAGetLastError() == WSAEWOULDBLOCK;
    if (result != 0 && !pending) {
        CloseRetainingError(s);
        return kNoSocket;
    }
    return Native(s);
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
    return WaitFor(socket, Direction::Read, timeoutMs);
}

Readiness WaitWritable(NativeSocket socket, int timeoutMs)
{
    return WaitFor(socket, Direction::Write, timeoutMs);
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
    if (socket != kNoSocket)
        ::closesocket(Sock(socket));
}

void ResetAndClose(NativeSocket socket)
{
    linger abortive{1, 0};
    ::setsockopt(Sock(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                 sizeof abortive);
    CloseSocket(socket);
}

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

// ---- ReadinessWaiter: select on the sockets and on a loopback datagram ----
// socket that Wake sends one byte to (select waits on sockets only).

struct ReadinessWaiter::State {
    SOCKET wake = INVALID_SOCKET; // bound to 127.0.0.1 and connected to itself
    std::unique_ptr<fd_set> readable = std::make_unique<fd_set>();
    std::unique_ptr<fd_set> failed = std::make_unique<fd_set>();
};

ReadinessWaiter::ReadinessWaiter() : state_(std::make_unique<State>())
{
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return;
    KeepFromChildren(s);
    sockaddr_in sa = MakeAddress(INADDR_LOOPBACK, 0);
    int size = sizeof sa;
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &size) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::closesocket(s);
        return;
    }
    state_->wake = s;
}

ReadinessWaiter::~ReadinessWaiter()
{
    if (state_->wake != INVALID_SOCKET)
        ::closesocket(state_->wake);
}

bool ReadinessWaiter::Usable() const
{
    return state_->wake != INVALID_SOCKET;
}

ReadinessWaiter::Event ReadinessWaiter::Wait(const std::vector<NativeSocket>& sockets, int timeoutMs,
                                             std::vector<bool>& ready)
{
    static_assert(FD_SETSIZE > kMaxSockets, "the wake socket and kMaxSockets fit in one select");
    if (sockets.size() > kMaxSockets)
        return Event::Failed;
    fd_set& readable = *state_->readable;
    fd_set& failed = *state_->failed;
    FD_ZERO(&readable);
    FD_ZERO(&failed);
    FD_SET(state_->wake, &readable);
    for (NativeSocket socket : sockets) {
        FD_SET(Sock(socket), &readable);
        FD_SET(Sock(socket), &failed);
    }
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int count = ::select(0, &readable, nullptr, &failed, timeoutMs < 0 ? nullptr : &limit);
    if (count < 0)
        return Event::Failed;
    // The wake byte is never read, so a woken waiter stays woken.
    if (FD_ISSET(state_->wake, &readable))
        return Event::Woken;
    if (count == 0)
        return Event::TimedOut;
    ready.assign(sockets.size(), false);
    for (std::size_t i = 0; i < sockets.size(); ++i)
        ready[i] = FD_ISSET(Sock(sockets[i]), &readable) || FD_ISSET(Sock(sockets[i]), &failed);
    return Event::Ready;
}

void ReadinessWaiter::Wake()
{
    const char byte = 1;
    ::send(state_->wake, &byte, 1, 0);
}

} // namespace ravelnet::net
