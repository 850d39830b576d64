// Both ends of an update conversation inside one test process: the client's
// task server (the real transport, handing each task to a SyncService) and a
// scripted server written with the sending library.
#pragma once

#include "protocol/FileTaskRecords.h"
#include "service/SyncService.h"

#include <task_connection.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

using namespace qek;

namespace updtest {

// The client: a task server on a free loopback port whose every task runs
// SyncService::HandleUpdateTask with the given write mode. One at a time.
class UpdateClient {
public:
    explicit UpdateClient(int32_t writeModeFlag);
    ~UpdateClient();
    UpdateClient(const UpdateClient&) = delete;
    UpdateClient& operator=(const UpdateClient&) = delete;

    uint16_t Port() const { return port_; }
    // Waits until `count` tasks in all have returned from the handler; false
    // when they have not after a minute (a hung task, not a slow one).
    bool WaitForTasks(int count);

private:
    static uint32_t OnTask(RavelnetConnection connection, uint32_t context, const RavelnetTaskHeader* header,
                           uint32_t reserved);

    SyncService service_;
    RavelnetServer server_ = 0;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::condition_variable finished_;
    int tasksFinished_ = 0;
};

// What the scripted server does.
struct PeerScript {
    TaskParams params{}; // checkListSize is taken from checkList unless set
    bool setCheckListSize = true;
    std::string checkList;
    std::map<std::string, std::string> files;    // the content served for each name
    int abortInRequest = -1;                     // index of the file request answered with half its bytes and a reset
    bool closeAfterReply = false;                // ends the connection right after the reply
    std::function<void(size_t index)> onRequest; // runs when file request `index` arrives, before its answer
};

// What the scripted server saw.
struct PeerOutcome {
    std::optional<qelsrv::TaskReplyRecord> reply;
    std::vector<FileRequest> requests;    // every request with command 0, in order
    std::optional<FileRequest> endOfTask; // the request with command 1
    std::string error;                    // why the conversation broke off, if it did
    std::vector<std::string> RequestedNames() const;
};

PeerOutcome RunPeer(uint16_t port, const PeerScript& script);

// Task parameters for an update of `gamePath` to `version`.
TaskParams UpdateParams(const std::string& gamePath, const std::string& version, uint32_t taskId = 42,
                        bool skipLocalCompare = false);

} // namespace updtest
