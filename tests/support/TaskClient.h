// The client's side of a task inside the test process: a task server on a
// free loopback port (the real transport) that hands each task to a
// SyncService's handler, so that a test plays the server's side with the
// sending library or a scripted conversation.
#pragma once

#include "service/SyncService.h"

#include <update_session.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace qeltest {

// Which of the service's handlers the client's tasks go to.
enum class ClientTasks {
    Update,        // every task: HandleUpdateTask
    DirectorySync, // every task: HandleDirectorySync
    Maintenance,   // 20001 and 20002 to their handlers; any other type is dropped
};

// One client at a time in a process: the transport's task handler has no
// context of its own.
class TaskClient {
public:
    TaskClient(ClientTasks tasks, qek::WriteMode mode);
    ~TaskClient();
    TaskClient(const TaskClient&) = delete;
    TaskClient& operator=(const TaskClient&) = delete;

    uint16_t Port() const { return port_; }
    qelsrv::Endpoint Endpoint() const { return {"127.0.0.1", port_}; }

    // Runs on the task's thread before its handler (set before the task starts).
    void BeforeHandler(std::function<void(RavelnetConnection)> hook) { beforeHandler_ = std::move(hook); }

    // Waits until `count` tasks in all have returned from their handlers;
    // false when they have not after a minute (a hung task, not a slow one).
    bool WaitForTasks(int count);

private:
    static uint32_t OnTask(RavelnetConnection connection, uint32_t context, const RavelnetTaskHeader* header,
                           uint32_t reserved);
    void Handle(RavelnetConnection connection, uint32_t context, const RavelnetTaskHeader* header, uint32_t reserved);

    ClientTasks tasks_;
    qek::SyncService service_;
    RavelnetServer server_ = 0;
    uint16_t port_ = 0;
    std::function<void(RavelnetConnection)> beforeHandler_;
    std::mutex mutex_;
    std::condition_variable finished_;
    int tasksFinished_ = 0;
};

} // namespace qeltest
