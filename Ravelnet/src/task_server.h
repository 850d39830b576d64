// A listening task server: accepts connections, checks the peer and the task
// header, and runs the task callback for each task on a thread of its own.
#pragma once

#include "connection.h"
#include "net/socket.h"
#include "ravelnet.h"
#include "server_config.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

namespace ravelnet {

class TaskServer {
public:
    // Tasks served at once. A connection is accepted only when one of these
    // places is free; until then it waits in the listen queue.
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

    // Stops accepting, ends connections still waiting for their header,
    // waits for running callbacks to return and joins every thread.
    void Close();

private:
    TaskServer(const ServerConfig& config, net::NativeSocket listener, std::uint16_t port);

    void AcceptLoop();
    bool WaitForFreePlace();
    void BackOff();
    void Dispatch(net::NativeSocket socket);
    void WorkerLoop();
    void Serve(net::NativeSocket socket);
    bool ReceiveHeader(Connection& connection, RavelnetTaskHeader& header) const;
    void RunTask(const std::shared_ptr<Connection>& connection, const RavelnetTaskHeader& header);
    bool EnterHeaderPhase(Connection* connection);
    bool LeaveHeaderPhase(Connection* connection);

    const ServerConfig config_;
    const net::NativeSocket listener_;
    const std::uint16_t port_;
    net::AcceptWaiter waiter_;
    std::atomic<RavelnetTaskCallback> callback_{nullptr};
    RavelnetServer handle_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable placeFreed_;    // busy_ went down, or stopping
    std::condition_variable workQueued_;    // pending_ grew, or stopping
    bool stopping_ = false;
    bool closed_ = false;
    std::size_t busy_ = 0;                  // accepted connections not yet finished
    std::deque<net::NativeSocket> pending_; // accepted, no worker yet
    std::unordered_set<Connection*> awaitingHeader_;
    std::vector<std::thread> workers_;      // grown by the acceptor only
    std::vector<std::thread::id> threadIds_; // acceptor and workers, for IsOwnThread
    std::thread acceptor_;
};

} // namespace ravelnet
