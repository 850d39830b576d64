// Fixtures of the update tests: a temporary folder mapped as drive D:, a log
// on it, check-list records, files with exact times, and the log's messages
// as GBK bytes spelled out apart from the core's sources.
#pragma once

#include "CheckListRecords.h"
#include "DriveFolders.h"
#include "HostFiles.h"
#include "Messages.h"
#include "protocol/FileTaskRecords.h"

#include <windows.h>

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

namespace updtest {

using qeltest::kSomeTime;

// A temporary folder mapped as drive D: (QEL_DRIVES) for the life of the
// object, with the module's log on it ("D:\log\qeclt.log").
class TempDrive {
public:
    TempDrive();
    ~TempDrive();
    TempDrive(const TempDrive&) = delete;
    TempDrive& operator=(const TempDrive&) = delete;

    // The host path of a path on D: ("D:\Games\X\a.txt" or "Games\X\a.txt").
    std::filesystem::path Host(std::string_view windowsPath) const;
    const std::filesystem::path& Root() const { return root_; }

    // The log's messages (the text after "QELCltCore.exe: "), one per line,
    // with the line end removed; each message ending in "\r\n" itself leaves
    // an empty line after it, which is dropped here.
    std::vector<std::string> LogMessages() const { return folders_.LogMessages(); }
    // The raw bytes of the log.
    std::string LogBytes() const { return folders_.LogBytes(); }

private:
    qeltest::DriveFolders folders_;
    std::filesystem::path root_;
};

// ---- Files through the Win32 layer ----------------------------------------

// Creates or replaces a file with `content` and last-write time `fileTime`;
// parents are created on the host.
void PutFile(const TempDrive& drive, const std::string& windowsPath, const std::string& content,
             uint64_t fileTime = kSomeTime);
// Both through the layer: names are found without regard to letter case.
std::optional<std::string> ReadFileBytes(const TempDrive& drive, const std::string& windowsPath);
// The last-write time as the layer reports it; nullopt when it cannot be read.
std::optional<uint64_t> FileTimeOf(const std::string& windowsPath);
bool Exists(const TempDrive& drive, const std::string& windowsPath);

using qeltest::Pattern;

// ---- Check lists -------------------------------------------------------------

using qeltest::DirectoryRecord;
using qeltest::FileRecord;
using qeltest::Serialize;

// ---- Log messages as GBK bytes ----------------------------------------------

namespace msg {
using namespace qeltest::msg;
using namespace qeltest::msg::update;
} // namespace msg

} // namespace updtest
