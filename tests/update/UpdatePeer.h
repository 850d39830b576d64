// Both ends of an update conversation inside one test process: the client's
// task server (the real transport, handing each task to a SyncService) and a
// scripted server written with the sending library.
#pragma once

#include "TaskClient.h"
#include "protocol/FileTaskRecords.h"

#include <task_connection.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

using namespace qek;

namespace updtest {

// The client: a task server on a free loopback port whose every task runs
// SyncService::HandleUpdateTask with the given write mode. One at a time.
class UpdateClient : public qeltest::TaskClient {
public:
    explicit UpdateClient(qek::WriteMode mode) : TaskClient(qeltest::ClientTasks::Update, mode) { }
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
    std::optional<qelsrv::TaskReply> reply;
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
