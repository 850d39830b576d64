// Fixtures of the update tests: a temporary folder mapped as drive D:, a log
// on it, check-list records, files with exact times, and the log's messages
// as GBK bytes spelled out apart from the core's sources.
#pragma once

#include "CheckListRecords.h"
#include "update/UpdateRecords.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class LogFile;

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
    std::vector<std::string> LogMessages() const;
    // The raw bytes of the log.
    std::string LogBytes() const;

private:
    std::filesystem::path root_;
    std::optional<std::string> previousDrives_;
    std::shared_ptr<LogFile> log_;
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

// `size` bytes of a pattern that depends on `seed`, so that files differ.
std::string Pattern(uint64_t size, uint32_t seed);

// ---- Check lists -------------------------------------------------------------

using qeltest::DirectoryRecord;
using qeltest::FileRecord;
using qeltest::Serialize;

// ---- Log messages as GBK bytes ----------------------------------------------

namespace msg {
std::string ReceiveParamsFailed(int code);
std::string VersionsAgree(const std::string& gamePath, const std::string& version);
std::string StartCheckFile(const std::string& path);
std::string CheckFileFailed(int code);
std::string CheckListTooLarge(const std::string& path, uint32_t size);
std::string DownloadFailed(const std::string& name, int code);
std::string TaskDone(int files, int taskId, const std::string& gamePath);
std::string CheckFileReceived(const std::string& path, int size);
std::string FilesToUpdate(int files, int high, int low);
std::string Unmappable(int code);
std::string BadTag(int tag);
std::string CreateFailed(const std::string& path, int code);
std::string Downloaded(const std::string& path, int high, int low);
std::string EndOfTaskFailed(int code);
// Messages of the checks that guard against hostile input (unusable names,
// paths that do not fit, parameters without a terminator).
std::string BadName(const std::string& name);
std::string PathTooLong(const std::string& root, const std::string& name);
std::string ReceiveBadName(const std::string& name);
std::string ReceivePathTooLong(const std::string& root, const std::string& name);
std::string ParamsWithoutTerminator(int taskId);
std::string GamePathTooLong(const std::string& gamePath);
std::string GamePathInvalid(const std::string& gamePath);
// A game path reached through a link that neither an administrator nor the
// system made, and that link.
std::string GamePathThroughUntrustedLink(const std::string& gamePath, const std::string& link);
} // namespace msg

} // namespace updtest
