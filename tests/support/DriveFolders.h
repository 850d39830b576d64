// The drive-folder fixture of the suites that run the core in the test
// process: a temporary folder whose subfolders the tests map as drives
// (QEL_DRIVES and friends), and the module's log.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qek {
class LogFile;
} // namespace qek

namespace qeltest {

// "/tmp/x/log" as the layer names a host path outside every drive
// ("\tmp\x\log": a path that starts with a single backslash).
std::string LayerPathOfHost(const std::filesystem::path& host);

// A fresh folder "<temp>/<prefix>-XXXXXX" for the life of the object. The
// environment variables it sets get their earlier values back, the module's
// log is closed and the folder removed (read-only entries included) when the
// object ends.
class DriveFolders {
public:
    explicit DriveFolders(std::string_view prefix);
    ~DriveFolders();
    DriveFolders(const DriveFolders&) = delete;
    DriveFolders& operator=(const DriveFolders&) = delete;

    const std::filesystem::path& Root() const { return root_; }

    // Sets `name` (the drive map, the system drive) until the object ends.
    void SetVariable(const std::string& name, const std::string& value);

    // Makes a log named "QELCltCore.exe" at `layerPath` the module's log;
    // its bytes are at `hostPath`.
    void OpenModuleLog(const std::string& layerPath, const std::filesystem::path& hostPath);
    // The raw bytes of the log.
    std::string LogBytes() const;
    // The log's messages (the text after "QELCltCore.exe: "), one per line,
    // with the line end removed; each message ending in "\r\n" itself leaves
    // an empty line after it, which is dropped here.
    std::vector<std::string> LogMessages() const;

private:
    std::filesystem::path root_;
    std::map<std::string, std::optional<std::string>> previousValues_;
    std::shared_ptr<qek::LogFile> log_;
    std::filesystem::path logHostPath_;
};

} // namespace qeltest
