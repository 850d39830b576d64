// A listening task server. One thread (the admission thread) accepts
// connections and reads their headers, all at once with one wait; only a
// connection whose valid header arrived becomes a task and runs the task
// callback on a worker thread of its own.
#pragma once

#include "connection.h"
#include "net/socket.h"
#include "ravelnet.h"
#include "refusal_log.h"
#include "server_config.h"
#include "waiting_room.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ravelnet {

class TaskServer {
public:
    // Tasks served at once. A valid task that finds them all taken is closed
    // at once (and counted): the admission thread never waits for a place.
    static constexpr std::size_t kMaxTasks = 64;

    // Binds and listens; nullptr when that fails.
    static std::unique_ptr<TaskServer> Open(const ServerConfig& config);
    ~TaskServer();
    TaskServer(const TaskServer&) = delete;
    TaskServer& operator=(const TaskServer&) = delete;

    // Starts accepting. `handle` is passed to every task callback as its
    // context. Throws std::system_error when no thread can be started.
    void Start(RavelnetServer handle);

    // Tasks whose header arrives while no callback is set are dropped.
    void SetCallback(RavelnetTaskCallback callback);
    std::uint16_t Port() const { return port_; }
    bool IsOwnThread() const;
    RavelnetServerStats Stats() const;

    // Stops accepting, ends connections still waiting for their header,
    // waits for running callbacks to return and joins every thread.
    void Close();

private:
    using Clock = std::chrono::steady_clock;

    // A task whose header arrived, waiting for a worker.
    struct QueuedTask {
        net::UniqueSocket socket;
        RavelnetTaskHeader header;
    };

    TaskServer(const ServerConfig& config, net::UniqueSocket listener, std::uint16_t port);

    // The admission thread.
    void AdmissionLoop();
    int NextWaitMs(Clock::time_point now) const;
    void AcceptPending(Clock::time_point now);
    enum class HeaderProgress { Incomplete, Complete, Gone };
    HeaderProgress ReadHeader(WaitingRoom::Guest& guest);
    void ReadWaitingHeader(WaitingRoom::Guests::iterator guest);
    void Welcome(WaitingRoom::Guest guest);
    void Settle(WaitingRoom::Guest guest, HeaderProgress progress);
    void ExpireOverdue(Clock::time_point now);
    void Refuse(net::UniqueSocket socket, net::Ipv4 peer, Refusal reason);
    void StartTask(net::UniqueSocket socket, net::Ipv4 peer, const unsigned char (&bytes)[WaitingRoom::kHeaderSize]);
    bool Queue(QueuedTask& task);

    // The workers.
    void WorkerLoop();
    void RunTask(QueuedTask task);

    const ServerConfig config_;
    net::UniqueSocket listener_; // let go by Close
    const std::uint16_t port_;
    net::ReadinessWaiter waiter_;
    std::atomic<RavelnetTaskCallback> callback_{nullptr};
    RavelnetServer handle_ = 0;

    // Owned by the admission thread alone.
    WaitingRoom waiting_;
    RefusalLog refusals_;
    Clock::time_point acceptPausedUntil_{}; // after the system refused an accept

    mutable std::mutex mutex_;
    std::condition_variable workQueued_; // queued_ grew, or stopping
    bool stopping_ = false;
    bool closed_ = false;
    std::size_t busy_ = 0;                   // tasks queued or running
    std::deque<QueuedTask> queued_;          // header in, no worker yet
    std::vector<std::thread> workers_;       // grown by the admission thread only
    std::vector<std::thread::id> threadIds_; // admission thread and workers, for IsOwnThread
    std::thread admission_;

    struct Counters {
        std::atomic<std::uint32_t> tasks{0}, notAllowed{0}, wrongMagic{0}, noHeader{0}, noTaskPlace{0}, crowdedOut{0},
            waitingNow{0};
    };
    Counters counters_;
};

} // namespace ravelnet
