#include "task_server.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

namespace ravelnet {
namespace {

constexpr int kListenBacklog = 128;
constexpr auto kAcceptBackOff = std::chrono::milliseconds(50);

std::uint32_t LoadLittleEndian32(const unsigned char* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

} // namespace

std::unique_ptr<TaskServer> TaskServer::Open(const ServerConfig& config)
{
    if (!net::StartNetworking())
        return nullptr;
    net::NativeSocket listener = net::OpenListener(config.listenAddress, config.port, kListenBacklog);
    std::optional<std::uint16_t> port;
    if (listener != net::kNoSocket)
        port = net::BoundPort(listener);
    if (!port) {
        net::CloseSocket(listener);
        net::StopNetworking();
        return nullptr;
    }
    std::unique_ptr<TaskServer> server(new TaskServer(config, listener, *port));
    if (!server->waiter_.Usable())
        return nullptr; // the destructor releases the listener
    return server;
}

TaskServer::TaskServer(const ServerConfig& config, net::NativeSocket listener, std::uint16_t port)
    : config_(config), listener_(listener), port_(port), waiter_(listener)
{
}

TaskServer::~TaskServer()
{
    Close();
}

void TaskServer::Start(RavelnetServer handle)
{
    handle_ = handle;
    std::lock_guard lock(mutex_);
    acceptor_ = std::thread(&TaskServer::AcceptLoop, this);
    threadIds_.push_back(acceptor_.get_id());
}

void TaskServer::SetCallback(RavelnetTaskCallback callback)
{
    callback_.store(callback);
}

bool TaskServer::IsOwnThread() const
{
    const auto self = std::this_thread::get_id();
    std::lock_guard lock(mutex_);
    return std::find(threadIds_.begin(), threadIds_.end(), self) != threadIds_.end();
}

void TaskServer::Close()
{
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        stopping_ = true;
        // Connections still sending their header are not tasks yet: end them
        // instead of waiting up to the header time-out.
        for (Connection* connection : awaitingHeader_)
            connection->End();
    }
    waiter_.Wake();
    placeFreed_.notify_all();
    workQueued_.notify_all();
    if (acceptor_.joinable())
        acceptor_.join();
    // The acceptor was the only thread adding workers.
    for (std::thread& worker : workers_)
        worker.join();
    for (net::NativeSocket socket : pending_)
        net::CloseSocket(socket);
    pending_.clear();
    net::CloseSocket(listener_);
    net::StopNetworking();
}

// ---- Accepting -------------------------------------------------------------

void TaskServer::AcceptLoop()
{
    while (WaitForFreePlace()) {
        switch (waiter_.Wait()) {
        case net::AcceptWaiter::Event::Woken:
            return; // only Close wakes the waiter
        case net::AcceptWaiter::Event::Failed:
            BackOff();
            continue;
        case net::AcceptWaiter::Event::ConnectionPending:
            break;
        }
        net::Ipv4 peer = 0;
        net::Step step = net::Step::Failed;
        net::NativeSocket socket = net::AcceptPending(listener_, peer, step);
        if (socket == net::kNoSocket) {
            // Out of descriptors and the like: the connection stays queued,
            // so waiting again at once would only spin.
            if (step == net::Step::Failed)
                BackOff();
            continue;
        }
        if (!config_.allow.Allows(peer) || !net::PrepareConnection(socket)) {
            net::CloseSocket(socket); // no callback for peers outside the allow list
            continue;
        }
        Dispatch(socket);
    }
}

bool TaskServer::WaitForFreePlace()
{
    std::unique_lock lock(mutex_);
    placeFreed_.wait(lock, [this] { return stopping_ || busy_ < kMaxTasks; });
    return !stopping_;
}

void TaskServer::BackOff()
{
    std::unique_lock lock(mutex_);
    placeFreed_.wait_for(lock, kAcceptBackOff, [this] { return stopping_; });
}

void TaskServer::Dispatch(net::NativeSocket socket)
{
    std::lock_guard lock(mutex_);
    ++busy_;
    pending_.push_back(socket);
    // One worker per connection being served; idle ones are reused.
    if (workers_.size() < busy_) {
        try {
            workers_.emplace_back(&TaskServer::WorkerLoop, this);
            threadIds_.push_back(workers_.back().get_id());
        } catch (const std::system_error&) {
            if (workers_.empty()) {
                // Nobody could ever take it: refuse the connection.
                pending_.pop_back();
                --busy_;
                net::CloseSocket(socket);
                return;
            }
            // Otherwise it waits for one of the existing workers.
        }
    }
    workQueued_.notify_one();
}

// ---- Serving ---------------------------------------------------------------

void TaskServer::WorkerLoop()
{
    for (;;) {
        net::NativeSocket socket;
        {
            std::unique_lock lock(mutex_);
            workQueued_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
            if (stopping_)
                return; // Close closes what is still queued
            socket = pending_.front();
            pending_.pop_front();
        }
        Serve(socket);
        {
            std::lock_guard lock(mutex_);
            --busy_;
        }
        placeFreed_.notify_all();
    }
}

void TaskServer::Serve(net::NativeSocket socket)
{
    // From here on the connection owns the socket and closes it when the
    // last reference goes.
    auto connection = std::make_shared<Connection>(socket, config_.sendTimeoutMs);
    if (!EnterHeaderPhase(connection.get()))
        return;
    RavelnetTaskHeader header{};
    const bool valid = ReceiveHeader(*connection, header);
    if (!LeaveHeaderPhase(connection.get()) || !valid)
        return;
    RunTask(connection, header);
}

bool TaskServer::EnterHeaderPhase(Connection* connection)
{
    std::lock_guard lock(mutex_);
    if (stopping_)
        return false;
    awaitingHeader_.insert(connection);
    return true;
}

bool TaskServer::LeaveHeaderPhase(Connection* connection)
{
    std::lock_guard lock(mutex_);
    awaitingHeader_.erase(connection);
    return !stopping_;
}

bool TaskServer::ReceiveHeader(Connection& connection, RavelnetTaskHeader& header) const
{
    unsigned char bytes[sizeof(RavelnetTaskHeader)];
    if (net::ReceiveExact(connection.Socket(), bytes, sizeof bytes, config_.headerTimeoutMs,
                          connection.Ended()) != net::Transfer::Complete)
        return false;
    header.type = LoadLittleEndian32(bytes);
    header.magic = LoadLittleEndian32(bytes + 4);
    header.sequence = LoadLittleEndian32(bytes + 8);
    header.payloadLength = LoadLittleEndian32(bytes + 12);
    return header.magic == RAVELNET_MAGIC;
}

void TaskServer::RunTask(const std::shared_ptr<Connection>& connection, const RavelnetTaskHeader& header)
{
    RavelnetTaskCallback callback = callback_.load();
    if (callback == nullptr)
        return;
    const RavelnetConnection handle = Connections().Add(connection);
    try {
        callback(handle, handle_, &header, 0);
    } catch (...) {
        // A callback that throws ends its task; the server goes on.
    }
    // Already gone when the task was dropped.
    Connections().Remove(handle);
    connection->End();
}

} // namespace ravelnet
