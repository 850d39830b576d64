#include "UpdatePeer.h"

#include "protocol/TaskRecords.h"

#include <chrono>
#include <cstring>
#include <span>
#include <stdexcept>

using namespace qek;

namespace updtest {

namespace {

std::span<const std::byte> BytesOf(const std::string& text)
{
    return std::as_bytes(std::span(text.data(), text.size()));
}

} // namespace

std::vector<std::string> PeerOutcome::RequestedNames() const
{
    std::vector<std::string> names;
    for (const FileRequest& request : requests) {
        names.emplace_back(request.fileName);
    }
    return names;
}

PeerOutcome RunPeer(uint16_t port, const PeerScript& script)
{
    PeerOutcome outcome;
    try {
        auto task = qelsrv::TaskConnection::Connect("127.0.0.1", port);
        task.SetTimeout(std::chrono::seconds(60));
        TaskParams params = script.params;
        if (script.setCheckListSize) {
            params.checkListSize = static_cast<uint32_t>(script.checkList.size());
        }
        task.StartTask(kTaskGameUpdate, params);
        outcome.reply = task.ReceiveReply();
        if (outcome.reply->resultCode != kResultOk) {
            task.ExpectClosed();
            return outcome;
        }
        if (script.closeAfterReply) {
            task.Close();
            return outcome;
        }
        task.Send(BytesOf(script.checkList));
        while (true) {
            const FileRequest request = task.ReceiveRecord<FileRequest>();
            if (request.command == kFileRequestEndOfTask) {
                outcome.endOfTask = request;
                task.ExpectClosed();
                return outcome;
            }
            outcome.requests.push_back(request);
            if (script.onRequest) {
                script.onRequest(outcome.requests.size() - 1);
            }
            const auto file = script.files.find(request.fileName);
            if (file == script.files.end()) {
                outcome.error = std::string("asked for an unknown file ") + request.fileName;
                task.Abort();
                return outcome;
            }
            if (static_cast<int>(outcome.requests.size()) - 1 == script.abortInRequest) {
                task.Send(BytesOf(file->second.substr(0, file->second.size() / 2)));
                task.Abort();
                return outcome;
            }
            task.Send(BytesOf(file->second));
        }
    } catch (const qelsrv::TransferError& error) {
        outcome.error = error.what();
    }
    return outcome;
}

TaskParams UpdateParams(const std::string& gamePath, const std::string& version, uint32_t taskId, bool skipLocalCompare)
{
    TaskParams params{};
    params.taskId = taskId;
    std::strncpy(params.gameVersion, version.c_str(), sizeof(params.gameVersion) - 1);
    std::strncpy(params.gamePath, gamePath.c_str(), sizeof(params.gamePath) - 1);
    params.skipLocalCompare = skipLocalCompare ? 1 : 0;
    return params;
}

} // namespace updtest
