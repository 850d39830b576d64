// Fixtures of the maintenance task tests: drive letters mapped to temporary
// folders (QEL_DRIVES, QEL_SYSTEM_DRIVE), the module's log beside them, a task
// server in the test process that hands each task to a SyncService, and the
// log's messages as GBK bytes spelled out apart from the core's sources.
#pragma once

#include "service/SyncService.h"

#include <maintenance_tasks.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace qek;

namespace qek {
class LogFile;
} // namespace qek

namespace mnttest {

struct DriveSpec {
    char letter;
    const char* type = "fixed"; // a QEL_DRIVES type word
};

// Drive letters mapped to fresh folders for the life of the object, one
// system drive, and the module's log in a folder outside every drive.
class TestDrives {
public:
    TestDrives(const std::vector<DriveSpec>& drives, char systemLetter);
    ~TestDrives();
    TestDrives(const TestDrives&) = delete;
    TestDrives& operator=(const TestDrives&) = delete;

    // The host path of "D:\games\x" (any mapped letter).
    std::filesystem::path Host(std::string_view windowsPath) const;
    // A folder outside every drive, for link targets.
    std::filesystem::path Outside() const { return base_ / "outside"; }

    // The log with every time stamp replaced by "T".
    std::string MaskedLog() const;

private:
    std::filesystem::path base_;
    std::optional<std::string> previousDrives_;
    std::optional<std::string> previousSystem_;
    std::shared_ptr<LogFile> log_;
};

// The whole log as MaskedLog gives it: "T QELCltCore.exe: <message>\r\n" per message.
std::string LogOf(const std::vector<std::string>& messages);

// Creates a file (and its parents) on the host.
void PutHostFile(const std::filesystem::path& path, std::string_view content = "data");

// The client: a task server on a free loopback port whose tasks of types
// 20001 and 20002 go to a SyncService's handlers; any other type is dropped.
class MaintenanceClient {
public:
    MaintenanceClient();
    ~MaintenanceClient();
    MaintenanceClient(const MaintenanceClient&) = delete;
    MaintenanceClient& operator=(const MaintenanceClient&) = delete;

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

    SyncService service_{0};
    RavelnetServer server_ = 0;
    uint16_t port_ = 0;
    std::function<void(RavelnetConnection)> beforeHandler_;
    std::mutex mutex_;
    std::condition_variable finished_;
    int tasksFinished_ = 0;
};

// ---- The log's messages, as GBK bytes ----------------------------------------

namespace msg {
std::string DiskInfoDone();
std::string DiskInfoFailed(int sendResult, int lastError);
std::string DeleteReceiveFailed(int code);
std::string DeleteStart(const std::string& rawPath);
std::string DeleteSkip(const std::string& path);
// A drive skipped because a component of the path there is a link that
// neither an administrator nor the system made.
std::string DeleteSkipUntrustedLink(const std::string& path, const std::string& link);
std::string DeleteDone(int replyResult);
// A delete request whose announced payload is above the bound: refused unread.
std::string DeleteRequestTooLong(uint32_t length);
// A task that ended by an exception, with the exception's text.
std::string TaskEndedByException(uint32_t taskType, const std::string& reason);
} // namespace msg

} // namespace mnttest
