#include "task_connection.h"

#include "net/socket.h"
#include "ravelnet.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <climits>
#include <cstring>
#include <utility>

namespace qelsrv {
namespace {

namespace net = ravelnet::net;

void StoreLittleEndian32(std::byte* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
}

std::string SocketErrorText(int code)
{
    return net::DescribeSocketError(code) + " (" + std::to_string(code) + ")";
}

[[noreturn]] void ThrowFor(net::Transfer transfer, const char* what, int error)
{
    switch (transfer) {
    case net::Transfer::PeerClosed:
        throw TransferError(TransferErrorKind::Closed, std::string(what) + ": the client closed the connection");
    case net::Transfer::TimedOut:
        throw TransferError(TransferErrorKind::Timeout, std::string(what) + ": timed out");
    default:
        throw TransferError(TransferErrorKind::Socket, std::string(what) + ": " + SocketErrorText(error));
    }
}

void Check(net::Transfer transfer, const char* what)
{
    if (transfer != net::Transfer::Complete)
        ThrowFor(transfer, what, net::LastSocketError());
}

// Keeps the platform's networking started for the life of a connection.
class NetworkingUse {
public:
    NetworkingUse()
    {
        if (!net::StartNetworking())
            throw TransferError(TransferErrorKind::Connect, "networking is not available");
    }
    ~NetworkingUse() { net::StopNetworking(); }
};

int WaitMs(Milliseconds timeout)
{
    return static_cast<int>(std::clamp<long long>(timeout.count(), 0, INT_MAX));
}

net::UniqueSocket ConnectSocket(const std::string& host, uint16_t port, Milliseconds timeout,
                                const std::optional<std::string>& source)
{
    const std::string target = host + ":" + std::to_string(port);
    auto address = net::ResolveIpv4(host);
    if (!address)
        throw TransferError(TransferErrorKind::Connect, "cannot resolve host " + host);
    std::optional<net::Ipv4> from;
    if (source && !(from = net::ParseIpv4(*source)))
        throw TransferError(TransferErrorKind::Connect, "not an IPv4 address to connect from: " + *source);
    bool pending = false;
    net::UniqueSocket socket = net::BeginConnect(*address, port, pending, from);
    if (!socket.IsValid())
        throw TransferError(TransferErrorKind::Connect,
                            "cannot connect to " + target + ": " + SocketErrorText(net::LastSocketError()));
    // A throw from here on closes the socket as it leaves.
    int error = 0;
    if (pending) {
        net::Readiness readiness = net::WaitConnected(socket.Get(), WaitMs(timeout));
        if (readiness == net::Readiness::TimedOut)
            throw TransferError(TransferErrorKind::Connect, "cannot connect to " + target + ": timed out");
        error = readiness == net::Readiness::Ready ? net::ConnectError(socket.Get()) : net::LastSocketError();
    }
    if (error == 0 && !net::PrepareConnection(socket.Get()))
        error = net::LastSocketError();
    if (error != 0)
        throw TransferError(TransferErrorKind::Connect, "cannot connect to " + target + ": " + SocketErrorText(error));
    return socket;
}

} // namespace

TaskConnection TaskConnection::Connect(const std::string& host, uint16_t port, Milliseconds connectTimeout)
{
    return Connect(host, port, connectTimeout, std::nullopt);
}

TaskConnection TaskConnection::ConnectFrom(const std::string& source, const std::string& host, uint16_t port,
                                           Milliseconds connectTimeout)
{
    return Connect(host, port, connectTimeout, source);
}

TaskConnection TaskConnection::Connect(const std::string& host, uint16_t port, Milliseconds connectTimeout,
                                       const std::optional<std::string>& source)
{
    NetworkingUse networking; // released again by the connection's Close
    net::UniqueSocket socket = ConnectSocket(host, port, connectTimeout, source);
    net::StartNetworking();
    return TaskConnection(std::move(socket));
}

TaskConnection::TaskConnection(TaskConnection&& other) noexcept
    : socket_(std::move(other.socket_)), interrupter_(std::exchange(other.interrupter_, nullptr)),
      timeoutMs_(other.timeoutMs_)
{
}

TaskConnection& TaskConnection::operator=(TaskConnection&& other) noexcept
{
    if (this != &other) {
        Close();
        socket_ = std::move(other.socket_);
        interrupter_ = std::exchange(other.interrupter_, nullptr);
        timeoutMs_ = other.timeoutMs_;
    }
    return *this;
}

TaskConnection::~TaskConnection()
{
    Close();
}

void TaskConnection::SetTimeout(Milliseconds timeout)
{
    timeoutMs_ = static_cast<uint32_t>(std::clamp<long long>(timeout.count(), 0, INT_MAX));
}

bool TaskConnection::IsOpen() const
{
    return socket_.IsValid();
}

void TaskConnection::RequireOpen() const
{
    if (!IsOpen())
        throw TransferError(TransferErrorKind::Socket, "the connection is closed");
}

void TaskConnection::SendHeader(uint32_t type, uint32_t payloadLength, uint32_t sequence)
{
    std::byte header[sizeof(RavelnetTaskHeader)];
    StoreLittleEndian32(header, type);
    StoreLittleEndian32(header + 4, RAVELNET_MAGIC);
    StoreLittleEndian32(header + 8, sequence);
    StoreLittleEndian32(header + 12, payloadLength);
    Send(header);
}

void TaskConnection::StartTask(uint32_t type, std::span<const std::byte> payload, uint32_t sequence)
{
    if (payload.size() > UINT32_MAX)
        throw TransferError(TransferErrorKind::Protocol, "task payload larger than 4 GiB");
    SendHeader(type, static_cast<uint32_t>(payload.size()), sequence);
    Send(payload);
}

TaskReply TaskConnection::ReceiveReply()
{
    std::byte bytes[sizeof(TaskReply)];
    RequireOpen();
    Check(net::ReceiveExact(socket_.Get(), bytes, sizeof bytes, timeoutMs_), "receiving the task reply");
    // The records travel as they lie in memory on a little-endian machine.
    static_assert(std::endian::native == std::endian::little);
    TaskReply reply;
    std::memcpy(&reply, bytes, sizeof reply);
    return reply;
}

void TaskConnection::Send(std::span<const std::byte> bytes)
{
    RequireOpen();
    Check(net::SendAll(socket_.Get(), bytes.data(), bytes.size(), timeoutMs_), "sending");
}

void TaskConnection::Receive(std::span<std::byte> bytes)
{
    RequireOpen();
    Check(net::ReceiveExact(socket_.Get(), bytes.data(), bytes.size(), timeoutMs_), "receiving");
}

std::vector<std::byte> TaskConnection::Receive(std::size_t length)
{
    std::vector<std::byte> bytes(length);
    Receive(std::span(bytes));
    return bytes;
}

void TaskConnection::ExpectClosed()
{
    RequireOpen();
    std::byte probe;
    net::Transfer transfer = net::ReceiveExact(socket_.Get(), &probe, 1, timeoutMs_);
    switch (transfer) {
    case net::Transfer::PeerClosed:
    case net::Transfer::Failed:
    case net::Transfer::Stopped:
        return; // a close ends the stream, and so does a reset
    case net::Transfer::Complete:
        throw TransferError(TransferErrorKind::Protocol, "the client sent data instead of closing");
    case net::Transfer::TimedOut:
        break;
    }
    throw TransferError(TransferErrorKind::Timeout, "the client did not close the connection");
}

void TaskConnection::FinishSending()
{
    RequireOpen();
    net::ShutdownSending(socket_.Get());
}

void TaskConnection::Close()
{
    if (!IsOpen())
        return;
    DetachInterrupter();
    socket_.Reset();
    net::StopNetworking();
}

void TaskConnection::Abort()
{
    if (!IsOpen())
        return;
    DetachInterrupter();
    net::ResetAndClose(std::move(socket_));
    net::StopNetworking();
}

void TaskConnection::AttachInterrupter(Interrupter& interrupter)
{
    RequireOpen();
    DetachInterrupter();
    if (!interrupter.Attach(socket_.Get()))
        throw TransferError(TransferErrorKind::Socket, "interrupted");
    interrupter_ = &interrupter;
}

void TaskConnection::DetachInterrupter()
{
    // Before the socket closes: the interrupter must never shut down a
    // descriptor that has been closed (and perhaps reused).
    if (interrupter_ != nullptr)
        std::exchange(interrupter_, nullptr)->Detach(socket_.Get());
}

bool Interrupter::Attach(std::intptr_t socket)
{
    std::lock_guard lock(mutex_);
    if (interrupted_)
        return false;
    sockets_.push_back(socket);
    return true;
}

void Interrupter::Detach(std::intptr_t socket)
{
    std::lock_guard lock(mutex_);
    std::erase(sockets_, socket);
}

void Interrupter::InterruptAll()
{
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    for (std::intptr_t socket : sockets_)
        net::ShutdownBoth(static_cast<net::NativeSocket>(socket));
}

bool Interrupter::Interrupted() const
{
    std::lock_guard lock(mutex_);
    return interrupted_;
}

} // namespace qelsrv
