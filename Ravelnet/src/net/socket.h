// The socket layer shared by the transport library and the sending side.
//
// Two small files implement the platform primitives with one interface:
// socket_posix.cpp (BSD sockets) and socket_win.cpp (Winsock). Everything
// built on top of them -- exact receives with a deadline, complete sends,
// IPv4 text parsing -- lives once in socket_common.cpp.
//
// Connection sockets are non-blocking: every wait goes through
// WaitReadable/WaitWritable with a time-out, so no call can hang forever on a
// silent peer, and a shutdown from another thread wakes a waiting one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ravelnet::net {

// A file descriptor on POSIX, a SOCKET on Windows; both fit in intptr_t, and
// both platforms' invalid value reads as -1.
using NativeSocket = std::intptr_t;
inline constexpr NativeSocket kNoSocket = -1;

// An IPv4 address in host byte order (127.0.0.1 is 0x7F000001).
using Ipv4 = std::uint32_t;

// ---- Owning a socket -------------------------------------------------------

// Closes a socket (kNoSocket: nothing), leaving the thread's last socket
// error as it was. A platform primitive, called by UniqueSocket alone.
void CloseSocket(NativeSocket socket);

// The owner of one socket: every socket that is opened or accepted is held by
// one, and closed when its owner goes or is reset. Move-only: a socket changes
// hands (from the waiting room to a task, from a task to its connection) by
// moving. The other primitives borrow the socket they act on (Get).
class UniqueSocket {
public:
    UniqueSocket() = default;
    explicit UniqueSocket(NativeSocket socket) : socket_(socket) { }
    ~UniqueSocket() { Reset(); }

    UniqueSocket(UniqueSocket&& other) noexcept : socket_(other.Release()) { }
    UniqueSocket& operator=(UniqueSocket&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;

    NativeSocket Get() const { return socket_; }
    bool IsValid() const { return socket_ != kNoSocket; }

    // Gives the socket up without closing it.
    NativeSocket Release() { return std::exchange(socket_, kNoSocket); }

    // Closes what is held (if anything) and holds `socket` instead.
    void Reset(NativeSocket socket = kNoSocket) { CloseSocket(std::exchange(socket_, socket)); }

private:
    NativeSocket socket_ = kNoSocket;
};

// ---- Platform primitives (socket_posix.cpp / socket_win.cpp) --------------

// Counted start-up of the platform's networking (WSAStartup on Windows).
// Every successful StartNetworking is paired with one StopNetworking.
bool StartNetworking();
void StopNetworking();

// The calling thread's last socket error, and a readable text for a code.
int LastSocketError();
std::string DescribeSocketError(int code);

// What one non-blocking step did.
enum class Step { Moved, WouldBlock, PeerClosed, Failed };
struct StepResult {
    Step step;
    std::size_t bytes; // bytes moved when step == Moved
};

// A bound, listening, non-blocking IPv4 socket; none on failure.
UniqueSocket OpenListener(Ipv4 address, std::uint16_t port, int backlog);
// The port a socket is bound to (tells a listener opened on port 0 its port).
std::optional<std::uint16_t> BoundPort(NativeSocket socket);
// Takes one pending connection from a non-blocking listener. None with
// WouldBlock when none is pending; with PeerClosed when the one taken was
// already gone (reset before it was accepted): more may be pending; with
// Failed when the system refuses (out of descriptors and the like).
UniqueSocket AcceptPending(NativeSocket listener, Ipv4& peer, Step& step);

// Starts a non-blocking connect, from `source` (any port) when given.
// `pending` tells that it completes later: wait until writable, then ask
// ConnectError.
UniqueSocket BeginConnect(Ipv4 address, std::uint16_t port, bool& pending, std::optional<Ipv4> source = std::nullopt);
// 0 once a started connect succeeded, else its socket error.
int ConnectError(NativeSocket socket);

// Makes an accepted or connected socket ready for the transfer routines:
// non-blocking, no Nagle delay (tasks are request/answer exchanges), and no
// SIGPIPE where the platform raises one per socket.
bool PrepareConnection(NativeSocket socket);

StepResult ReceiveSome(NativeSocket socket, void* buffer, std::size_t length);
StepResult SendSome(NativeSocket socket, const void* buffer, std::size_t length);

enum class Readiness { Ready, TimedOut, Failed };
// Waits at most timeoutMs (0: just look) until the socket can be read (data,
// end of stream or error pending) or written (room, or a connect finished).
Readiness WaitReadable(NativeSocket socket, int timeoutMs);
Readiness WaitWritable(NativeSocket socket, int timeoutMs);
// Waits until a connect started by BeginConnect has finished, either way.
Readiness WaitConnected(NativeSocket socket, int timeoutMs);

void ShutdownBoth(NativeSocket socket);
void ShutdownSending(NativeSocket socket);
// Lets the socket go with a reset instead of an orderly end (a linger time
// of zero).
void ResetAndClose(UniqueSocket socket);

// IPv4 address of a host name or dotted text.
std::optional<Ipv4> ResolveIpv4(const std::string& host);

// A process environment variable; nullopt when unset.
std::optional<std::string> ReadEnvironment(const char* name);

// Waits until one of a set of sockets (a listener and the connections still
// sending their headers) can be read, or another thread calls Wake. One
// thread waits; any thread may wake it.
class ReadinessWaiter {
public:
    // The most sockets one Wait may watch.
    static constexpr std::size_t kMaxSockets = 512;

    ReadinessWaiter();
    ~ReadinessWaiter();
    ReadinessWaiter(const ReadinessWaiter&) = delete;
    ReadinessWaiter& operator=(const ReadinessWaiter&) = delete;

    bool Usable() const;

    enum class Event { Ready, TimedOut, Woken, Failed };
    // Blocks for at most timeoutMs (negative: no limit). Ready: ready[i] is
    // true for each sockets[i] that can be read (data, a pending connection,
    // the end of the stream or an error: the next call on it tells which).
    // Once woken it stays woken: every later Wait returns Woken at once.
    Event Wait(const std::vector<NativeSocket>& sockets, int timeoutMs, std::vector<bool>& ready);
    void Wake();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// ---- Built on the primitives (socket_common.cpp) ---------------------------

enum class Transfer { Complete, PeerClosed, TimedOut, Failed, Stopped };

// Raised by another thread to make a waiting transfer give up with Stopped.
// Shutting a socket down wakes a waiting poll on Linux, but not every
// Windows wait (Wine's does not wake), so a transfer that can be stopped
// waits in slices of at most kStopCheckMs and looks at the flag between them.
using StopFlag = std::atomic<bool>;
inline constexpr int kStopCheckMs = 50;

// Receives exactly `length` bytes, all of them within timeoutMs.
Transfer ReceiveExact(NativeSocket socket, void* buffer, std::size_t length, std::uint32_t timeoutMs,
                      const StopFlag* stop = nullptr);
// Sends all `length` bytes; fails with TimedOut when the peer accepts nothing
// for stallTimeoutMs in a row.
Transfer SendAll(NativeSocket socket, const void* buffer, std::size_t length, std::uint32_t stallTimeoutMs,
                 const StopFlag* stop = nullptr);
// Waits until there is room to send again (after SendSome said WouldBlock).
Transfer WaitForSendRoom(NativeSocket socket, std::uint32_t stallTimeoutMs, const StopFlag* stop = nullptr);

// Strict dotted-decimal IPv4 ("a.b.c.d", each 0-255, no leading '+', no
// spaces, at most three digits per part).
std::optional<Ipv4> ParseIpv4(std::string_view text);
std::string FormatIpv4(Ipv4 address);

} // namespace ravelnet::net
