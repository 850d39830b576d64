// What the end-to-end tests share: the fixture that gives each test a client
// in its world, the log read as messages, the messages as GBK bytes (spelled
// out here, apart from the core's sources), and files with exact times on the
// host side of a drive or of the server's folder.
#pragma once

#include "CheckListRecords.h"
#include "ClientWorld.h"
#include "Messages.h"

#include "protocol/FileTaskRecords.h"
#include "task_connection.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

using namespace qek::protocol;

namespace e2e {

// Each test gets a fresh client of the world its instantiation names; a
// world that cannot run on this machine skips with its reason.
class WorldTest : public testing::TestWithParam<World> {
protected:
    void SetUp() override;
    void TearDown() override;
    ClientWorld& Client() { return *client_; }

    std::unique_ptr<ClientWorld> client_;
};

// Shows what a failed test needs: the client's log as UTF-8 and its host's
// standard error.
void ReportClient(const ClientWorld& client);
// The GBK log as UTF-8 text.
std::string ReadableLog(const std::string& log);

// Why a test of a link to a file cannot run under Wine.
extern const char* const kWineFileLinkLimit;

std::string WorldParamName(const testing::TestParamInfo<World>& info);

// Runs the suite's tests once per world: Linux/<Suite>.<Test>/Linux and
// Wine/<Suite>.<Test>/Wine.
#define QEL_E2E_IN_BOTH_WORLDS(Suite)                                                                                  \
    INSTANTIATE_TEST_SUITE_P(Linux, Suite, testing::Values(::e2e::World::Linux), ::e2e::WorldParamName);               \
    INSTANTIATE_TEST_SUITE_P(Wine, Suite, testing::Values(::e2e::World::Wine), ::e2e::WorldParamName)

// The two write modes of the registry value "QELClt_NoBufWrite": none
// (buffered) and "1" (unbuffered).
struct WriteMode {
    const char* name;
    std::optional<std::string> registryValue;
    bool unbuffered;
};
void PrintTo(const WriteMode& mode, std::ostream* out);
extern const WriteMode kWriteModes[2];

// Each test gets a fresh client of its world, with the write-mode value of
// its mode; a world that cannot run on this machine skips with its reason.
using WorldAndMode = std::tuple<World, WriteMode>;
class WorldAndModeTest : public testing::TestWithParam<WorldAndMode> {
protected:
    void SetUp() override;
    void TearDown() override;
    ClientWorld& Client() { return *client_; }
    const WriteMode& Mode() const { return std::get<1>(GetParam()); }

    std::unique_ptr<ClientWorld> client_;
};

std::string WorldAndModeParamName(const testing::TestParamInfo<WorldAndMode>& info);

// Runs the suite's tests once per world and write mode:
// Linux/<Suite>.<Test>/LinuxBuffered, .../LinuxUnbuffered, and Wine/... .
#define QEL_E2E_IN_BOTH_WORLDS_AND_MODES(Suite)                                                                        \
    INSTANTIATE_TEST_SUITE_P(                                                                                          \
        Linux, Suite, testing::Combine(testing::Values(::e2e::World::Linux), testing::ValuesIn(::e2e::kWriteModes)),   \
        ::e2e::WorldAndModeParamName);                                                                                 \
    INSTANTIATE_TEST_SUITE_P(                                                                                          \
        Wine, Suite, testing::Combine(testing::Values(::e2e::World::Wine), testing::ValuesIn(::e2e::kWriteModes)),     \
        ::e2e::WorldAndModeParamName)

// ---- The log ----------------------------------------------------------------

// The messages of the log: of every line that carries the module name, the
// text after "QELCltCore.exe: ", its line end removed. A message that ends in
// "\r\n" itself is followed by an empty line, which is left out.
std::vector<std::string> LogMessages(const std::string& log);
// The log with every line's time stamp replaced by "T".
std::string MaskTimeStamps(const std::string& log);
// How many messages equal `message`.
int CountMessage(const std::vector<std::string>& messages, const std::string& message);
// A task logs its last line after its last answer to the server: the
// client's log messages once `message` is among them `count` times, or as
// they are when it is not after a minute (a hang guard).
std::vector<std::string> MessagesOnceLogged(const ClientWorld& client, const std::string& message, int count = 1);

// The messages of the one table (tests/support/Messages.h); a few go by the
// names these suites give them.
namespace msg {
using namespace qeltest::msg;
inline constexpr auto& UpdateDone = qeltest::msg::update::TaskDone;
inline constexpr auto& SyncDone = qeltest::msg::dirsync::TaskDone;
inline constexpr auto& SyncRootMissing = qeltest::msg::NotFound;
inline constexpr auto& DeleteSkipsInvalidPath = qeltest::msg::DeleteSkip;
} // namespace msg

// ---- Files --------------------------------------------------------------------

using qeltest::kSomeTime;

// Writes `content` to `path` (parents created) with last-write time `fileTime`.
void PutFile(const std::filesystem::path& path, const std::string& content, uint64_t fileTime = kSomeTime);
// Sets the last-write (and access) time of `path` to `fileTime`.
void SetFileTimeOf(const std::filesystem::path& path, uint64_t fileTime);
std::optional<std::string> ReadFileBytes(const std::filesystem::path& path);
// The last-write time as a FILETIME count, read from the host's file system.
std::optional<uint64_t> FileTimeOf(const std::filesystem::path& path);
// `size` bytes of a pattern that depends on `seed`.
std::string Pattern(uint64_t size, uint32_t seed);

// Every file below `root` (links not followed) by its path relative to root,
// with '/' separators: its size, time and content digest, for comparing trees.
struct FileState {
    uint64_t size = 0;
    uint64_t fileTime = 0;
    uint64_t digest = 0;
    bool operator==(const FileState&) const = default;
};
void PrintTo(const FileState& state, std::ostream* out);
std::map<std::string, FileState> FilesBelow(const std::filesystem::path& root);

// The size of the volume that holds `folder` and what a program can use of
// it (not the superuser's reserve); zeros when it cannot be asked.
struct VolumeSpace {
    uint64_t total = 0;
    uint64_t free = 0;
};
VolumeSpace SpaceOf(const std::filesystem::path& folder);

// A temporary folder of the test's own (the server's game), removed with it.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// ---- A scripted server, for conversations the sending library refuses -------

using qeltest::DirectoryRecord;
using qeltest::FileRecord;

struct ScriptedUpdate {
    uint32_t taskType = 20000;
    TaskParams params{};                      // checkListSize is set from `records`
    std::vector<QELDtFile> records;           // sent as they are, in this order
    std::map<std::string, std::string> files; // the content served for each requested name
    // The request answered with half the file's bytes and the end of the
    // stream; the conversation then waits for the client to close its end,
    // which it does once its task has ended and let go of what it held.
    int endInRequest = -1;
};

struct ScriptedOutcome {
    std::optional<qelsrv::TaskReply> reply;
    std::vector<std::string> requested; // the name of every file request, in order
    std::optional<FileRequest> endOfTask;
    std::string error; // why the conversation broke off, when it did
};

ScriptedOutcome RunScriptedUpdate(const qelsrv::Endpoint& client, const ScriptedUpdate& script);

} // namespace e2e
