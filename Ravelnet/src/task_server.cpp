#include "task_server.h"

#include <algorithm>
#include <climits>
#include <system_error>
#include <utility>

namespace ravelnet {
namespace {

constexpr int kListenBacklog = 128;
// After the system refused an accept (out of descriptors and the like) the
// listener is left alone this long; the headers still waiting are read.
constexpr auto kAcceptPause = std::chrono::milliseconds(50);
// Connections taken per round of the admission loop, so that a burst of
// newcomers does not starve the headers already arriving.
constexpr int kAcceptsPerRound = 64;
// After a wait that failed (the system short of memory and the like).
constexpr auto kWaitRetryPause = std::chrono::milliseconds(50);

std::uint32_t LoadLittleEndian32(const unsigned char* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

RavelnetTaskHeader ParseHeader(const unsigned char (&bytes)[WaitingRoom::kHeaderSize])
{
    RavelnetTaskHeader header;
    header.type = LoadLittleEndian32(bytes);
    header.magic = LoadLittleEndian32(bytes + 4);
    header.sequence = LoadLittleEndian32(bytes + 8);
    header.payloadLength = LoadLittleEndian32(bytes + 12);
    return header;
}

int MillisecondsUntil(std::chrono::steady_clock::time_point when, std::chrono::steady_clock::time_point now)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

} // namespace

std::unique_ptr<TaskServer> TaskServer::Open(const ServerConfig& config)
{
    if (!net::StartNetworking())
        return nullptr;
    net::UniqueSocket listener = net::OpenListener(config.listenAddress, config.port, kListenBacklog);
    std::optional<std::uint16_t> port;
    if (listener.IsValid())
        port = net::BoundPort(listener.Get());
    if (!port) {
        listener.Reset(); // before the networking it needs is stopped
        net::StopNetworking();
        return nullptr;
    }
    std::unique_ptr<TaskServer> server(new TaskServer(config, std::move(listener), *port));
    if (!server->waiter_.Usable())
        return nullptr; // the destructor releases the listener
    return server;
}

TaskServer::TaskServer(const ServerConfig& config, net::UniqueSocket listener, std::uint16_t port)
    : config_(config), listener_(std::move(listener)), port_(port)
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
    admission_ = std::thread(&TaskServer::AdmissionLoop, this);
    threadIds_.push_back(admission_.get_id());
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

RavelnetServerStats TaskServer::Stats() const
{
    RavelnetServerStats stats{};
    stats.tasksStarted = counters_.tasks.load();
    stats.waitingForHeader = counters_.waitingNow.load();
    stats.notAllowed = counters_.notAllowed.load();
    stats.wrongMagic = counters_.wrongMagic.load();
    stats.headerTimeouts = counters_.noHeader.load();
    stats.crowdedOut = counters_.crowdedOut.load();
    stats.noTaskPlace = counters_.noTaskPlace.load();
    std::lock_guard lock(mutex_);
    stats.tasksNow = static_cast<std::uint32_t>(busy_);
    return stats;
}

void TaskServer::Close()
{
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        stopping_ = true;
    }
    waiter_.Wake();
    workQueued_.notify_all();
    // The admission thread closes the connections still waiting for their
    // header as it leaves; it was the only thread adding workers.
    if (admission_.joinable())
        admission_.join();
    for (std::thread& worker : workers_)
        worker.join();
    queued_.clear(); // closes the tasks no worker took
    listener_.Reset();
    net::StopNetworking();
}

// ---- Admission: accepting and reading headers ------------------------------

void TaskServer::AdmissionLoop()
{
    std::vector<net::NativeSocket> watched;
    std::vector<WaitingRoom::Guests::iterator> guests; // guests[i] is watched[first + i]
    std::vector<bool> ready;
    for (;;) {
        const Clock::time_point now = Clock::now();
        const bool accepting = now >= acceptPausedUntil_;
        const std::size_t first = accepting ? 1 : 0;
        watched.clear();
        guests.clear();
        if (accepting)
            watched.push_back(listener_.Get());
        for (auto guest = waiting_.All().begin(); guest != waiting_.All().end(); ++guest) {
            watched.push_back(guest->socket.Get());
            guests.push_back(guest);
        }
        const auto event = waiter_.Wait(watched, NextWaitMs(now), ready);
        if (event == net::ReadinessWaiter::Event::Woken)
            break; // only Close wakes the waiter
        if (event == net::ReadinessWaiter::Event::Failed) {
            // The system is short of something: try again after a pause
            // rather than spin. Close waits at most this long.
            std::this_thread::sleep_for(kWaitRetryPause);
            continue;
        }
        if (event == net::ReadinessWaiter::Event::Ready) {
            for (std::size_t i = 0; i < guests.size(); ++i)
                if (ready[first + i])
                    ReadWaitingHeader(guests[i]);
            if (accepting && ready[0])
                AcceptPending(Clock::now());
        }
        ExpireOverdue(Clock::now());
        counters_.waitingNow.store(static_cast<std::uint32_t>(waiting_.Size()));
    }
    waiting_.All().clear(); // closes the connections still waiting for their header
    counters_.waitingNow.store(0);
}

int TaskServer::NextWaitMs(Clock::time_point now) const
{
    std::optional<Clock::time_point> next = waiting_.NextDeadline();
    if (now < acceptPausedUntil_ && (!next || acceptPausedUntil_ < *next))
        next = acceptPausedUntil_;
    return next ? MillisecondsUntil(*next, now) : -1;
}

void TaskServer::AcceptPending(Clock::time_point now)
{
    for (int round = 0; round < kAcceptsPerRound; ++round) {
        net::Ipv4 peer = 0;
        net::Step step = net::Step::Failed;
        net::UniqueSocket socket = net::AcceptPending(listener_.Get(), peer, step);
        if (step == net::Step::WouldBlock)
            return;
        if (step == net::Step::PeerClosed)
            continue; // reset while it waited in the queue: gone, take the next
        if (!socket.IsValid()) {
            // Out of descriptors and the like: the connection stays queued,
            // and waiting on the listener again at once would only spin.
            acceptPausedUntil_ = now + kAcceptPause;
            return;
        }
        if (!config_.allow.Allows(peer)) {
            counters_.notAllowed.fetch_add(1);
            Refuse(std::move(socket), peer, Refusal::NotAllowed);
            continue;
        }
        if (!net::PrepareConnection(socket.Get()))
            continue; // closed as it goes
        WaitingRoom::Guest guest;
        guest.socket = std::move(socket);
        guest.peer = peer;
        guest.deadline = now + std::chrono::milliseconds(config_.headerTimeoutMs);
        Welcome(std::move(guest));
    }
}

// Reads what has arrived of a guest's header without waiting.
TaskServer::HeaderProgress TaskServer::ReadHeader(WaitingRoom::Guest& guest)
{
    while (guest.received < WaitingRoom::kHeaderSize) {
        net::StepResult result = net::ReceiveSome(guest.socket.Get(), guest.header + guest.received,
                                                  WaitingRoom::kHeaderSize - guest.received);
        switch (result.step) {
        case net::Step::WouldBlock:
            return HeaderProgress::Incomplete;
        case net::Step::PeerClosed:
        case net::Step::Failed:
            return HeaderProgress::Gone;
        case net::Step::Moved:
            guest.received += result.bytes;
            break;
        }
    }
    return HeaderProgress::Complete;
}

// Ends a guest's wait: a whole header makes it a task; a guest still
// without one had to leave for a newcomer and is counted; one whose peer
// gave up is closed without a word (as the guest goes).
void TaskServer::Settle(WaitingRoom::Guest guest, HeaderProgress progress)
{
    if (progress == HeaderProgress::Complete) {
        StartTask(std::move(guest.socket), guest.peer, guest.header);
        return;
    }
    if (progress == HeaderProgress::Incomplete)
        counters_.crowdedOut.fetch_add(1);
}

void TaskServer::ReadWaitingHeader(WaitingRoom::Guests::iterator guest)
{
    HeaderProgress progress = ReadHeader(*guest);
    if (progress == HeaderProgress::Incomplete)
        return;
    Settle(waiting_.Release(guest), progress);
}

void TaskServer::Welcome(WaitingRoom::Guest guest)
{
    // Most senders' headers are there by the time they are accepted.
    HeaderProgress progress = ReadHeader(guest);
    if (progress != HeaderProgress::Incomplete) {
        Settle(std::move(guest), progress);
        return;
    }
    if (std::optional<WaitingRoom::Guest> leaving = waiting_.Admit(std::move(guest))) {
        // Its header may have arrived since it was last looked at.
        const HeaderProgress leavingProgress = ReadHeader(*leaving);
        Settle(std::move(*leaving), leavingProgress);
    }
}

void TaskServer::ExpireOverdue(Clock::time_point now)
{
    auto& guests = waiting_.All();
    while (!guests.empty() && guests.front().deadline <= now) {
        WaitingRoom::Guest overdue = waiting_.Release(guests.begin());
        counters_.noHeader.fetch_add(1);
        Refuse(std::move(overdue.socket), overdue.peer, Refusal::NoHeader);
    }
}

void TaskServer::Refuse(net::UniqueSocket socket, net::Ipv4 peer, Refusal reason)
{
    socket.Reset(); // the peer sees the end before the refusal is written
    refusals_.Report(peer, reason);
}

void TaskServer::StartTask(net::UniqueSocket socket, net::Ipv4 peer,
                           const unsigned char (&bytes)[WaitingRoom::kHeaderSize])
{
    QueuedTask task{std::move(socket), ParseHeader(bytes)};
    if (task.header.magic != RAVELNET_MAGIC) {
        counters_.wrongMagic.fetch_add(1);
        Refuse(std::move(task.socket), peer, Refusal::WrongMagic);
        return;
    }
    if (!Queue(task)) {
        counters_.noTaskPlace.fetch_add(1);
        Refuse(std::move(task.socket), peer, Refusal::NoTaskPlace);
    }
}

// Hands a task to a worker (the queue takes it); false, the task left with
// the caller, when every task place is taken.
bool TaskServer::Queue(QueuedTask& task)
{
    std::lock_guard lock(mutex_);
    if (busy_ >= kMaxTasks)
        return false;
    // One worker per task in its place; idle ones are reused.
    if (workers_.size() <= busy_) {
        try {
            workers_.emplace_back(&TaskServer::WorkerLoop, this);
            threadIds_.push_back(workers_.back().get_id());
        } catch (const std::system_error&) {
            if (workers_.empty())
                return false; // nobody could ever take it
            // Otherwise it waits for one of the existing workers.
        }
    }
    ++busy_;
    queued_.push_back(std::move(task));
    workQueued_.notify_one();
    return true;
}

// ---- Serving ---------------------------------------------------------------

void TaskServer::WorkerLoop()
{
    for (;;) {
        QueuedTask task{};
        {
            std::unique_lock lock(mutex_);
            workQueued_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
            if (stopping_)
                return; // Close closes what is still queued
            task = std::move(queued_.front());
            queued_.pop_front();
        }
        RunTask(std::move(task));
        std::lock_guard lock(mutex_);
        --busy_;
    }
}

void TaskServer::RunTask(QueuedTask task)
{
    // From here on the connection owns the socket and closes it when the
    // last reference goes.
    auto connection = std::make_shared<Connection>(std::move(task.socket), config_.sendTimeoutMs);
    RavelnetTaskCallback callback = callback_.load();
    if (callback == nullptr)
        return;
    counters_.tasks.fetch_add(1);
    const RavelnetConnection handle = Connections().Add(connection);
    try {
        callback(handle, handle_, &task.header, 0);
    } catch (...) {
        // A callback that throws ends its task; the server goes on.
    }
    // Already gone when the task was dropped.
    Connections().Remove(handle);
    connection->End();
}

} // namespace ravelnet
