#include "TaskClient.h"

#include "protocol/TaskRecords.h"

#include <chrono>
#include <cstring>
#include <stdexcept>

using namespace qek;

namespace qeltest {

namespace {

TaskClient* theClient = nullptr;

} // namespace

TaskClient::TaskClient(ClientTasks tasks, qek::WriteMode mode) : tasks_(tasks), service_(mode)
{
    theClient = this;
    RavelnetServerSettings settings{};
    std::strcpy(settings.listenAddress, "127.0.0.1");
    settings.port = 0; // any free port
    settings.one = 1;
    unsigned char unused[8] = {};
    server_ = RavelnetOpenServer(&settings, unused);
    if (server_ == 0) {
        throw std::runtime_error("the task server could not be opened");
    }
    RavelnetSetTaskHandler(server_, &TaskClient::OnTask);
    port_ = static_cast<uint16_t>(RavelnetServerPort(server_));
}

TaskClient::~TaskClient()
{
    RavelnetCloseServer(server_);
    theClient = nullptr;
}

uint32_t TaskClient::OnTask(RavelnetConnection connection, uint32_t context, const RavelnetTaskHeader* header,
                            uint32_t reserved)
{
    TaskClient* client = theClient;
    client->Handle(connection, context, header, reserved);
    {
        std::lock_guard<std::mutex> lock(client->mutex_);
        ++client->tasksFinished_;
    }
    client->finished_.notify_all();
    return 1;
}

void TaskClient::Handle(RavelnetConnection connection, uint32_t context, const RavelnetTaskHeader* header,
                        uint32_t reserved)
{
    if (beforeHandler_) {
        beforeHandler_(connection);
    }
    const auto* request = reinterpret_cast<const TaskRequest*>(header);
    switch (tasks_) {
    case ClientTasks::Update:
        service_.HandleUpdateTask(connection, context, request, reserved);
        return;
    case ClientTasks::DirectorySync:
        service_.HandleDirectorySync(connection, context, request, reserved);
        return;
    case ClientTasks::Maintenance:
        if (header->type == kTaskDeleteGame) {
            service_.HandleDeleteGame(connection, context, request, reserved);
        } else if (header->type == kTaskDiskInfo) {
            service_.HandleDiskInfo(connection, context, request, reserved);
        } else {
            RavelnetDropTask(connection);
        }
        return;
    }
}

bool TaskClient::WaitForTasks(int count)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return finished_.wait_for(lock, std::chrono::minutes(1), [&] { return tasksFinished_ >= count; });
}

} // namespace qeltest
