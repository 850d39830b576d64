// Fixtures of the directory sync tests: drives c to h mapped to temporary
// folders, the log, the client (a task server on loopback whose tasks run
// SyncService::HandleDirectorySync), the server's folder and a run of the
// server's session against the client, and the log's messages as GBK bytes
// spelled out apart from the core's sources.
#pragma once

#include "DriveFolders.h"
#include "HostFiles.h"
#include "Messages.h"
#include "TaskClient.h"
#include "protocol/FileTaskRecords.h"

#include <checklist.h>
#include <update_session.h>

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

namespace dstest {

// The drive letters the tests map, each onto a folder of its own.
constexpr std::string_view kDriveLetters = "cdefgh";

// A temporary folder with one subfolder per drive letter (mapped through
// QEL_DRIVES), the server's folder "server/" and the module's log, for the
// life of the object.
class Workspace {
public:
    Workspace();
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    // The host path of a Windows path on one of the drives: "g:\games\x\a".
    std::filesystem::path Host(std::string_view windowsPath) const;
    // The host folder of a drive.
    std::filesystem::path DriveFolder(char letter) const;
    // Maps the drives again with `letter` onto `hostFolder` (a drive mapped
    // onto another's folder, as a substituted drive would be).
    void MapDrive(char letter, const std::filesystem::path& hostFolder);

    std::filesystem::path ServerFolder() const { return folders_.Root() / "server"; }
    // A file of the server's folder, its parents created; `name` uses '/'.
    void PutServerFile(const std::string& name, const std::string& content) const;

    // The log's messages (the text after "QELCltCore.exe: "), one per line.
    std::vector<std::string> LogMessages() const { return folders_.LogMessages(); }

private:
    void ApplyDriveMap();

    qeltest::DriveFolders folders_;
    std::vector<std::pair<char, std::filesystem::path>> drives_;
};

// ---- Files on the host ------------------------------------------------------

void PutFile(const std::filesystem::path& path, const std::string& content);
inline std::optional<std::string> ReadFile(const std::filesystem::path& path)
{
    return qeltest::ReadHostFile(path);
}
// The last-write time in 100 ns units since 1601, as the check list gives it.
std::optional<uint64_t> FileTimeOf(const std::filesystem::path& path);
using qeltest::Pattern;

// ---- The client ---------------------------------------------------------------

// A task server on a free loopback port whose every task runs
// SyncService::HandleDirectorySync with the given write mode.
class SyncClient : public qeltest::TaskClient {
public:
    explicit SyncClient(qek::WriteMode mode) : TaskClient(qeltest::ClientTasks::DirectorySync, mode) { }
};

// ---- The server's side ----------------------------------------------------------

// Task parameters of a directory sync, filled as the server's tool would not
// always fill them (any letter case, any path form).
TaskParams SyncParams(std::string_view basePath, std::string_view subPath = "\\", uint32_t excludeDrive = 0,
                      char excludeDriveLetter = 0, uint32_t skipLocalCompare = 0, uint32_t taskId = 7);

// Runs one directory sync task with the check list of `folder` against the
// client on `port` through the server's session library.
qelsrv::SessionResult RunSync(uint16_t port, const std::filesystem::path& folder, const TaskParams& params);

// The data file of this test run: "..\Data\qelsyncfiles_dst.dat" beside the
// test executable, as a host path and as the Windows path the client logs.
std::filesystem::path DataFileHostPath();
std::string DataFileWindowsPath();

// ---- Log messages as GBK bytes --------------------------------------------------

namespace msg {
using namespace qeltest::msg;
using namespace qeltest::msg::dirsync;
} // namespace msg

// True when `messages` holds `message`.
bool Contains(const std::vector<std::string>& messages, const std::string& message);

} // namespace dstest
