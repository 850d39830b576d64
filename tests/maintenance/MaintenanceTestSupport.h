// Fixtures of the maintenance task tests: drive letters mapped to temporary
// folders (QEL_DRIVES, QEL_SYSTEM_DRIVE), the module's log beside them, a task
// server in the test process that hands each task to a SyncService, and the
// log's messages as GBK bytes spelled out apart from the core's sources.
#pragma once

#include "DriveFolders.h"
#include "Messages.h"
#include "TaskClient.h"

#include <maintenance_tasks.h>

#include <cstdint>
#include <filesystem>
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
    std::filesystem::path Outside() const { return folders_.Root() / "outside"; }

    // The log with every time stamp replaced by "T".
    std::string MaskedLog() const;

private:
    qeltest::DriveFolders folders_;
};

// The whole log as MaskedLog gives it: "T QELCltCore.exe: <message>\r\n" per message.
std::string LogOf(const std::vector<std::string>& messages);

// Creates a file (and its parents) on the host.
void PutHostFile(const std::filesystem::path& path, std::string_view content = "data");

// The client: a task server on a free loopback port whose tasks of types
// 20001 and 20002 go to a SyncService's handlers; any other type is dropped.
class MaintenanceClient : public qeltest::TaskClient {
public:
    MaintenanceClient() : TaskClient(qeltest::ClientTasks::Maintenance, qek::WriteMode::Buffered) { }
};

// ---- The log's messages, as GBK bytes ----------------------------------------

namespace msg {
using namespace qeltest::msg;
} // namespace msg

} // namespace mnttest
