// Whole update conversations over the real transport: a SyncService behind a
// task server on loopback, a scripted server on the other end, drive D:
// mapped to a temporary folder.
#include "PlantedLinks.h"
#include "UpdatePeer.h"
#include "UpdateTestSupport.h"
#include "WriteModes.h"

#include "FaultSweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace updtest;
namespace fs = std::filesystem;

namespace {

const std::string kGame = "D:\\Games\\X\\";
const std::string kShallowGame = "D:\\X\\"; // one level below the root: nothing is deleted
const std::string kTempCheckList = "tarngamever\\QELFilesInfo.dat.tmp";
const std::string kMarker = "tarnGameVer\\tarnGameVer.txt";

struct ServedFile {
    std::string name;
    std::string content;
    uint64_t fileTime = kSomeTime;
};

class UpdateTask : public ::testing::TestWithParam<qek::WriteMode> {
protected:
    explicit UpdateTask(qek::WriteMode mode = qek::WriteMode::Buffered) : client(mode) { }

    // Runs one task; the client's handler has returned when this returns.
    PeerOutcome Run(const PeerScript& script)
    {
        PeerOutcome outcome = RunPeer(client.Port(), script);
        EXPECT_TRUE(client.WaitForTasks(++tasks)) << "the task did not end";
        return outcome;
    }

    static PeerScript Script(const std::string& game, const std::string& version, const std::vector<QELDtFile>& records,
                             const std::vector<ServedFile>& files = {})
    {
        PeerScript script;
        script.params = UpdateParams(game, version);
        script.checkList = Serialize(records);
        for (const ServedFile& file : files) {
            script.files[file.name] = file.content;
        }
        return script;
    }

    std::string Marker(const std::string& game = kGame) const
    {
        return ReadFileBytes(drive, game + kMarker).value_or("<none>");
    }

    TempDrive drive;
    UpdateClient client;
    int tasks = 0;
};

class UpdateTaskBuffered : public UpdateTask {
protected:
    UpdateTaskBuffered() : UpdateTask(qek::WriteMode::Buffered) { }
};

class UpdateTaskInBothModes : public UpdateTask {
protected:
    UpdateTaskInBothModes() : UpdateTask(GetParam()) { }
    bool Unbuffered() const { return GetParam() == qek::WriteMode::Unbuffered; }
};

// Sets a process-wide limit on the size of a written file, as a full disk
// would; a write beyond it fails (EFBIG) instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &previous_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};

} // namespace

TEST_P(UpdateTaskInBothModes, FilesOfEverySizeArriveInByteOrderWithTheirSizesAndTimes)
{
    const std::vector<ServedFile> files = {
        {"\\one", Pattern(1, 1), kSomeTime + 1},
        {"\\sizes\\a80000", Pattern(0x80000, 2), kSomeTime + 2},
        {"\\sizes\\b80001", Pattern(0x80001, 3), kSomeTime + 3},
        {"\\sizes\\c3m", Pattern(3 * 1024 * 1024 + 123, 4), kSomeTime + (5ull << 32)},
        {"\\zero", "", kSomeTime + 5},
    };
    // On the list in an order of their own: the requests follow the names.
    const std::vector<QELDtFile> records = {
        FileRecord(files[3].name, files[3].content.size(), files[3].fileTime),
        FileRecord(files[0].name, 1, files[0].fileTime),
        DirectoryRecord("\\sizes\\"),
        FileRecord(files[4].name, 0, files[4].fileTime),
        FileRecord(files[2].name, 0x80001, files[2].fileTime),
        FileRecord(files[1].name, 0x80000, files[1].fileTime),
    };
    PutFile(drive, kGame + "zero", "not empty yet"); // an existing file is emptied
    const PeerOutcome outcome = Run(Script(kGame, "2.0", records, files));

    ASSERT_TRUE(outcome.reply.has_value()) << outcome.error;
    EXPECT_EQ(outcome.reply->resultCode, 1u);
    EXPECT_EQ(outcome.reply->dataLength, 0u);
    EXPECT_EQ(outcome.RequestedNames(),
              (std::vector<std::string>{"\\one", "\\sizes\\a80000", "\\sizes\\b80001", "\\sizes\\c3m"}));
    uint64_t bytesBefore = 0;
    for (size_t i = 0; i < outcome.requests.size(); ++i) {
        const FileRequest& request = outcome.requests[i];
        SCOPED_TRACE(request.fileName);
        const uint64_t size = files[i].content.size();
        EXPECT_EQ(request.command, 0u);
        EXPECT_EQ(request.filesToUpdate, 5u);
        EXPECT_EQ(request.filesDone, i);
        EXPECT_EQ(BytesDone(request), bytesBefore);
        EXPECT_EQ(request.fileSizeLow, static_cast<uint32_t>(size));
        EXPECT_EQ(request.fileSizeHighByte, 0u);
        bytesBefore += size;
    }
    const uint64_t total = bytesBefore;
    ASSERT_TRUE(outcome.endOfTask.has_value()) << outcome.error;
    EXPECT_EQ(outcome.endOfTask->filesDone, 5u);
    EXPECT_EQ(BytesDone(*outcome.endOfTask), total);
    EXPECT_EQ(BytesToUpdate(*outcome.endOfTask), total);
    EXPECT_STREQ(outcome.endOfTask->fileName, "\\zero"); // the last file handled

    for (const ServedFile& file : files) {
        SCOPED_TRACE(file.name);
        const std::string local = kGame + file.name.substr(1);
        EXPECT_EQ(ReadFileBytes(drive, local), file.content);
        EXPECT_EQ(FileTimeOf(local), file.fileTime);
    }
    EXPECT_EQ(Marker(), "2.0");
    EXPECT_FALSE(Exists(drive, kGame + kTempCheckList));

    const std::string checkList = kGame + kTempCheckList;
    std::vector<std::string> expected = {msg::StartCheckFile(checkList), msg::CheckFileReceived(checkList, 6 * 280),
                                         msg::FilesToUpdate(5, 0, static_cast<int>(total))};
    if (Unbuffered()) {
        for (const ServedFile& file : files) {
            expected.push_back(msg::Downloaded(kGame + file.name, 0, static_cast<int>(file.content.size())));
        }
    }
    expected.push_back(msg::TaskDone(5, 42, kGame));
    EXPECT_EQ(drive.LogMessages(), expected);
}

TEST_P(UpdateTaskInBothModes, ConnectionDroppedInTheSecondOfThreeFilesEndsTheTask)
{
    const std::vector<ServedFile> files = {
        {"\\a", Pattern(700000, 1)}, {"\\b", Pattern(1500000, 2)}, {"\\c", Pattern(10, 3)}};
    std::vector<QELDtFile> records;
    for (const ServedFile& file : files) {
        records.push_back(FileRecord(file.name, file.content.size()));
    }
    PutFile(drive, kShallowGame + kMarker, "1.0");
    PeerScript script = Script(kShallowGame, "2.0", records, files);
    script.abortInRequest = 1;
    const PeerOutcome outcome = Run(script);

    EXPECT_EQ(outcome.RequestedNames(), (std::vector<std::string>{"\\a", "\\b"}));
    EXPECT_EQ(outcome.requests[1].filesDone, 1u);
    EXPECT_FALSE(outcome.endOfTask.has_value());
    EXPECT_EQ(ReadFileBytes(drive, kShallowGame + "a"), files[0].content);
    EXPECT_EQ(Marker(kShallowGame), "1.0");
    EXPECT_TRUE(Exists(drive, kShallowGame + kTempCheckList));
    const std::vector<std::string> log = drive.LogMessages();
    ASSERT_FALSE(log.empty());
    const std::string failedPrefix = msg::DownloadFailed("\\b", 0).substr(0, msg::DownloadFailed("\\b", 0).size() - 2);
    EXPECT_EQ(log.back().rfind(failedPrefix, 0), 0u) << log.back();
    EXPECT_NE(log.back(), msg::DownloadFailed("\\b", 1));
}

TEST_P(UpdateTaskInBothModes, WriteFailureFailsTheTaskAndKeepsTheOldMarker)
{
    const std::vector<ServedFile> files = {
        {"\\a", Pattern(300000, 1)}, {"\\b", Pattern(2 * 1024 * 1024, 2)}, {"\\c", Pattern(10, 3)}};
    std::vector<QELDtFile> records;
    for (const ServedFile& file : files) {
        records.push_back(FileRecord(file.name, file.content.size()));
    }
    PutFile(drive, kShallowGame + kMarker, "1.0");
    PeerOutcome outcome;
    {
        FileSizeLimit fullDisk(1024 * 1024);
        outcome = Run(Script(kShallowGame, "2.0", records, files));
    }
    // Buffered, the file's size is reserved before it is asked for; unbuffered,
    // its writes fail on the way.
    const std::vector<std::string> asked =
        Unbuffered() ? std::vector<std::string>{"\\a", "\\b"} : std::vector<std::string>{"\\a"};
    EXPECT_EQ(outcome.RequestedNames(), asked);
    EXPECT_FALSE(outcome.endOfTask.has_value());
    EXPECT_EQ(Marker(kShallowGame), "1.0");
    EXPECT_TRUE(Exists(drive, kShallowGame + kTempCheckList));
    const std::vector<std::string> log = drive.LogMessages();
    ASSERT_FALSE(log.empty());
    const std::string failedPrefix = msg::DownloadFailed("\\b", 0).substr(0, msg::DownloadFailed("\\b", 0).size() - 2);
    EXPECT_EQ(log.back().rfind(failedPrefix, 0), 0u) << log.back();
    EXPECT_NE(log.back(), msg::DownloadFailed("\\b", 1));
    for (const std::string& line : log) {
        EXPECT_EQ(line.find(msg::TaskDone(0, 42, kShallowGame).substr(0, 20)), std::string::npos) << line;
    }
}

// A real file system that runs full: 1 MiB of tmpfs mounted at a host
// folder for the life of the object (where mounting is allowed).
class SmallTmpfs {
public:
    explicit SmallTmpfs(const fs::path& mountPoint) : path_(mountPoint)
    {
        fs::create_directories(path_);
        mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=1m") == 0;
        error_ = mounted_ ? "" : std::strerror(errno);
    }
    ~SmallTmpfs()
    {
        if (mounted_) {
            umount2(path_.c_str(), MNT_DETACH);
        }
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;
    bool Mounted() const { return mounted_; }
    const std::string& Error() const { return error_; }

private:
    fs::path path_;
    bool mounted_ = false;
    std::string error_;
};

TEST_P(UpdateTaskInBothModes, FullFileSystemFailsTheTaskAndKeepsTheOldMarker)
{
    const SmallTmpfs full(drive.Host("D:\\Full"));
    if (!full.Mounted()) {
        GTEST_SKIP() << "no tmpfs can be mounted here: " << full.Error();
    }

    const std::string game = "D:\\Full\\";
    const std::vector<ServedFile> files = {
        {"\\a", Pattern(100000, 1)}, {"\\b", Pattern(2 * 1024 * 1024, 2)}, {"\\c", Pattern(10, 3)}};
    std::vector<QELDtFile> records;
    for (const ServedFile& file : files) {
        records.push_back(FileRecord(file.name, file.content.size()));
    }
    PutFile(drive, game + kMarker, "1.0");
    const PeerOutcome outcome = Run(Script(game, "2.0", records, files));

    // The size reserved in buffered mode takes no room on this file system:
    // both modes fail on the writes.
    EXPECT_EQ(outcome.RequestedNames(), (std::vector<std::string>{"\\a", "\\b"}));
    EXPECT_FALSE(outcome.endOfTask.has_value());
    EXPECT_EQ(ReadFileBytes(drive, game + "a"), files[0].content);
    EXPECT_EQ(Marker(game), "1.0");
    const std::vector<std::string> log = drive.LogMessages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), msg::DownloadFailed("\\b", ERROR_DISK_FULL));
}

TEST_P(UpdateTaskInBothModes, ACheckListLargerThanTheFreeSpaceIsRefusedBeforeItIsReceived)
{
    const SmallTmpfs full(drive.Host("D:\\Full"));
    if (!full.Mounted()) {
        GTEST_SKIP() << "no tmpfs can be mounted here: " << full.Error();
    }
    const std::string game = "D:\\Full\\";
    PutFile(drive, game + kMarker, "1.0");
    PeerScript script = Script(game, "2.0", {FileRecord("\\a", 1)}, {{"\\a", "a"}});
    script.setCheckListSize = false;
    script.params.checkListSize = 2 * 1024 * 1024; // announced, never sent
    const PeerOutcome outcome = Run(script);

    EXPECT_TRUE(outcome.requests.empty());
    EXPECT_FALSE(outcome.endOfTask.has_value());
    EXPECT_EQ(Marker(game), "1.0");
    EXPECT_FALSE(Exists(drive, game + kTempCheckList));
    const std::vector<std::string> log = drive.LogMessages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), msg::CheckListTooLarge(game + kTempCheckList, 2 * 1024 * 1024));
}

INSTANTIATE_TEST_SUITE_P(WriteModes, UpdateTaskInBothModes, qeltest::EveryWriteMode(),
                         [](const auto& info) { return qeltest::WriteModeName(info); });

TEST_F(UpdateTaskBuffered, EqualVersionsAreDeclinedAndNothingIsCreated)
{
    PutFile(drive, kGame + kMarker, "110020");
    const PeerOutcome declined = Run(Script(kGame, "110020", {FileRecord("\\a", 1)}));
    ASSERT_TRUE(declined.reply.has_value()) << declined.error;
    EXPECT_EQ(declined.reply->resultCode, 110020u);
    EXPECT_EQ(declined.reply->dataLength, 0u);
    EXPECT_TRUE(declined.requests.empty());
    EXPECT_FALSE(Exists(drive, kGame + kTempCheckList));

    // No marker and an empty version agree as well; the game is not created.
    const PeerOutcome empty = Run(Script("D:\\Games\\New\\", "", {FileRecord("\\a", 1)}));
    ASSERT_TRUE(empty.reply.has_value()) << empty.error;
    EXPECT_EQ(empty.reply->resultCode, 110020u);
    EXPECT_FALSE(Exists(drive, "D:\\Games\\New"));
    EXPECT_EQ(drive.LogMessages(), (std::vector<std::string>{msg::VersionsAgree(kGame, "110020"),
                                                             msg::VersionsAgree("D:\\Games\\New\\", "")}));
}

TEST_F(UpdateTaskBuffered, CurrentFileIsNotFetchedAndOneDifferingByOneTimeUnitIs)
{
    PutFile(drive, kGame + "same", "same", kSomeTime);
    PutFile(drive, kGame + "older", "older", kSomeTime - 1);
    const PeerOutcome outcome =
        Run(Script(kGame, "2", {FileRecord("\\same", 4), FileRecord("\\older", 5)}, {{"\\older", "newer"}}));
    EXPECT_EQ(outcome.RequestedNames(), (std::vector<std::string>{"\\older"}));
    ASSERT_TRUE(outcome.endOfTask.has_value()) << outcome.error;
    EXPECT_EQ(outcome.endOfTask->filesToUpdate, 1u);
    EXPECT_EQ(outcome.endOfTask->filesDone, 1u);
    EXPECT_EQ(ReadFileBytes(drive, kGame + "older"), "newer");
    EXPECT_EQ(FileTimeOf(kGame + "older"), kSomeTime);
}

TEST_F(UpdateTaskBuffered, UnlistedFilesGoOnlyWhenTheGameIsTwoLevelsDeep)
{
    for (const std::string& game : {kGame, kShallowGame}) {
        PutFile(drive, game + "unlisted.txt", "u");
        PutFile(drive, game + kMarker, "1.0");
    }
    Run(Script(kGame, "2.0", {FileRecord("\\a", 1)}, {{"\\a", "a"}}));
    Run(Script(kShallowGame, "2.0", {FileRecord("\\a", 1)}, {{"\\a", "a"}}));
    EXPECT_FALSE(Exists(drive, kGame + "unlisted.txt"));
    EXPECT_TRUE(Exists(drive, kShallowGame + "unlisted.txt"));
    // The marker, unlisted, was deleted by the scan and written anew.
    EXPECT_EQ(Marker(kGame), "2.0");
    EXPECT_EQ(Marker(kShallowGame), "2.0");
}

TEST_F(UpdateTaskBuffered, FailedUpdateAfterTheScanLeavesNoMarker)
{
    PutFile(drive, kGame + kMarker, "1.0");
    PeerScript script = Script(kGame, "2.0", {FileRecord("\\a", 100), FileRecord("\\b", 100)},
                               {{"\\a", Pattern(100, 1)}, {"\\b", Pattern(100, 2)}});
    script.abortInRequest = 0;
    Run(script);
    EXPECT_FALSE(Exists(drive, kGame + kMarker));
    EXPECT_TRUE(Exists(drive, kGame + kTempCheckList));
}

TEST_F(UpdateTaskBuffered, SkipLocalCompareFetchesCurrentFilesAndDeletesNothing)
{
    PutFile(drive, kGame + "same", "same", kSomeTime);
    PutFile(drive, kGame + "unlisted.txt", "u");
    PeerScript script = Script(kGame, "2", {FileRecord("\\same", 4)}, {{"\\same", "SAME"}});
    script.params.skipLocalCompare = 1;
    const PeerOutcome outcome = Run(script);
    EXPECT_EQ(outcome.RequestedNames(), (std::vector<std::string>{"\\same"}));
    EXPECT_EQ(ReadFileBytes(drive, kGame + "same"), "SAME");
    EXPECT_TRUE(Exists(drive, kGame + "unlisted.txt"));
}

TEST_F(UpdateTaskBuffered, BadTagInTheThirdRecordFetchesTheTwoBefore)
{
    std::vector<QELDtFile> records = {FileRecord("\\b", 1), FileRecord("\\a", 1), FileRecord("\\c", 1),
                                      DirectoryRecord("\\d\\")};
    records[2].tag = 7;
    const PeerOutcome outcome = Run(Script(kGame, "2", records, {{"\\a", "a"}, {"\\b", "b"}, {"\\c", "c"}}));
    EXPECT_EQ(outcome.RequestedNames(), (std::vector<std::string>{"\\a", "\\b"}));
    EXPECT_EQ(outcome.requests[0].filesToUpdate, 0u);
    ASSERT_TRUE(outcome.endOfTask.has_value()) << outcome.error;
    EXPECT_EQ(outcome.endOfTask->filesDone, 2u);
    EXPECT_FALSE(Exists(drive, kGame + "d"));
    const std::vector<std::string> log = drive.LogMessages();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2], msg::BadTag(7));
    EXPECT_EQ(log[3], msg::TaskDone(2, 42, kGame));
}

TEST_F(UpdateTaskBuffered, ListWithoutFilesCompletesWithZeroCounts)
{
    const PeerOutcome outcome = Run(Script(kGame, "3", {DirectoryRecord("\\data\\"), DirectoryRecord("\\data\\x\\")}));
    EXPECT_TRUE(outcome.requests.empty());
    ASSERT_TRUE(outcome.endOfTask.has_value()) << outcome.error;
    EXPECT_EQ(outcome.endOfTask->command, 1u);
    EXPECT_EQ(outcome.endOfTask->filesToUpdate, 0u);
    EXPECT_EQ(outcome.endOfTask->filesDone, 0u);
    EXPECT_TRUE(fs::is_directory(drive.Host(kGame + "data\\x")));
    EXPECT_EQ(Marker(), "3");
    EXPECT_EQ(drive.LogMessages().back(), msg::TaskDone(0, 42, kGame));
}

TEST_F(UpdateTaskBuffered, EmptyCheckListCannotBeMapped)
{
    const PeerOutcome outcome = Run(Script(kGame, "3", {}));
    EXPECT_TRUE(outcome.requests.empty());
    EXPECT_FALSE(outcome.endOfTask.has_value());
    const std::string checkList = kGame + kTempCheckList;
    EXPECT_TRUE(Exists(drive, checkList));
    EXPECT_EQ(drive.LogMessages(),
              (std::vector<std::string>{msg::StartCheckFile(checkList), msg::CheckFileReceived(checkList, 0),
                                        msg::Unmappable(ERROR_FILE_INVALID), msg::CheckFileFailed(110024)}));
}

TEST_F(UpdateTaskBuffered, HostileNameFailsTheCheckListAndTouchesNothing)
{
    PutFile(drive, kGame + kMarker, "1.0");
    PutFile(drive, kGame + "unlisted.txt", "u");
    const PeerOutcome outcome = Run(Script(kGame, "2", {FileRecord("\\a", 1), FileRecord("\\..\\..\\evil.txt", 4)},
                                           {{"\\a", "a"}, {"\\..\\..\\evil.txt", "evil"}}));
    ASSERT_TRUE(outcome.reply.has_value());
    EXPECT_EQ(outcome.reply->resultCode, 1u);
    EXPECT_TRUE(outcome.requests.empty());
    EXPECT_FALSE(Exists(drive, "D:\\evil.txt"));
    EXPECT_TRUE(Exists(drive, kGame + "unlisted.txt"));
    EXPECT_EQ(Marker(), "1.0");
    const std::vector<std::string> log = drive.LogMessages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], msg::BadName("\\..\\..\\evil.txt"));
    EXPECT_EQ(log.back(), msg::CheckFileFailed(ERROR_INVALID_NAME));
}

TEST_F(UpdateTaskBuffered, LinksPlantedInTheGameAreReplacedNotWrittenThrough)
{
    const fs::path outside = drive.Root() / "outside";
    PutFile(drive, "D:\\outside\\victim.txt", "victim");
    fs::create_directories(drive.Host(kGame));
    fs::create_symlink(outside / "victim.txt", drive.Host(kGame + "game.exe"));
    fs::create_directory_symlink(outside, drive.Host(kGame + "bin"));
    fs::create_directory_symlink(outside, drive.Host(kGame + "lib"));
    fs::create_directories(drive.Root() / "elsewhere");
    fs::create_directory_symlink(drive.Root() / "elsewhere", drive.Host(kGame + "tarngamever"));
    // Without the scan, so that only the writing side stands between the
    // files and the links: \bin\ is listed as a directory, \lib\ is not.
    PeerScript script = Script(kGame, "2",
                               {FileRecord("\\game.exe", 3), DirectoryRecord("\\bin\\"),
                                FileRecord("\\bin\\victim.txt", 3), FileRecord("\\lib\\victim.txt", 3)},
                               {{"\\game.exe", "exe"}, {"\\bin\\victim.txt", "bin"}, {"\\lib\\victim.txt", "lib"}});
    script.params.skipLocalCompare = 1;
    const PeerOutcome outcome = Run(script);
    ASSERT_TRUE(outcome.endOfTask.has_value()) << outcome.error;
    EXPECT_EQ(ReadFileBytes(drive, "D:\\outside\\victim.txt"), "victim");
    EXPECT_EQ(fs::symlink_status(drive.Host(kGame + "game.exe")).type(), fs::file_type::regular);
    EXPECT_EQ(fs::symlink_status(drive.Host(kGame + "bin")).type(), fs::file_type::directory);
    EXPECT_EQ(fs::symlink_status(drive.Host(kGame + "lib")).type(), fs::file_type::directory);
    EXPECT_EQ(ReadFileBytes(drive, kGame + "game.exe"), "exe");
    EXPECT_EQ(ReadFileBytes(drive, kGame + "bin\\victim.txt"), "bin");
    EXPECT_EQ(ReadFileBytes(drive, kGame + "lib\\victim.txt"), "lib");
    // The marker directory was a link too: the marker is in a real one.
    EXPECT_EQ(fs::symlink_status(drive.Host(kGame + "tarngamever")).type(), fs::file_type::directory);
    EXPECT_EQ(Marker(), "2");
    EXPECT_TRUE(fs::is_empty(drive.Root() / "elsewhere"));
}

// A hard link planted where the update writes (a listed file, the temporary
// check list, the marker) shares its bytes with a file elsewhere: the entry is
// replaced by a file of its own, and the other file keeps its bytes and mode.
// A read-only one cannot be replaced without changing the shared file's
// attributes: that file fails instead.
TEST_P(UpdateTaskInBothModes, HardLinksPlantedWhereTheUpdateWritesAreNotWrittenThrough)
{
    struct Case {
        std::string site;
        bool readOnly;
        bool completes;
    };
    const Case cases[] = {
        {"game.exe", false, true},
        {kTempCheckList, false, true},
        {kMarker, false, true},
        {"game.exe", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.site + (c.readOnly ? " (read-only)" : ""));
        fs::remove_all(drive.Host("D:\\Games"));
        fs::remove_all(drive.Host("D:\\outside"));
        PutFile(drive, kGame + kMarker, "1");
        PutFile(drive, "D:\\outside\\victim.txt", "the victim's bytes");
        const fs::path victim = drive.Host("D:\\outside\\victim.txt");
        fs::create_directories(drive.Host(kGame + c.site).parent_path());
        fs::remove(drive.Host(kGame + c.site));
        fs::create_hard_link(victim, drive.Host(kGame + c.site));
        if (c.readOnly) {
            fs::permissions(victim, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        }
        const fs::perms modeBefore = fs::status(victim).permissions();

        const PeerOutcome outcome = Run(Script(kGame, "2", {FileRecord("\\game.exe", 3)}, {{"\\game.exe", "exe"}}));
        EXPECT_EQ(ReadFileBytes(drive, "D:\\outside\\victim.txt"), "the victim's bytes");
        EXPECT_EQ(fs::status(victim).permissions(), modeBefore);
        EXPECT_EQ(outcome.endOfTask.has_value(), c.completes) << outcome.error;
        if (c.completes) {
            EXPECT_EQ(ReadFileBytes(drive, kGame + "game.exe"), "exe");
            EXPECT_EQ(Marker(), "2");
            EXPECT_EQ(fs::hard_link_count(victim), 1u);
        } else {
            EXPECT_NE(Marker(), "2"); // the scan took the old one as unlisted
        }
        fs::permissions(victim, fs::perms::owner_write, fs::perm_options::add);
    }
}

// Entries that are not files have no counterpart on Windows. A FIFO or a
// socket at a listed name is neither opened (which would wait for a writer
// for ever) nor written: the task fails there, says so, and ends.
TEST_F(UpdateTaskBuffered, AFifoOrASocketAtAListedNameFailsTheTaskWithoutHangingIt)
{
    for (const char* name : {"game.exe", "data.bin"}) {
        SCOPED_TRACE(name);
        fs::remove_all(drive.Host("D:\\Games"));
        fs::create_directories(drive.Host(kGame));
        const fs::path host = drive.Host(kGame + name);
        if (std::string(name) == "game.exe") {
            ASSERT_EQ(mkfifo(host.c_str(), 0600), 0);
        } else {
            const int unixSocket = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            ASSERT_LT(host.string().size(), sizeof(address.sun_path));
            std::strcpy(address.sun_path, host.c_str());
            ASSERT_EQ(bind(unixSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
            close(unixSocket);
        }
        const size_t logBefore = drive.LogMessages().size();
        const PeerOutcome outcome =
            Run(Script(kGame, "2", {FileRecord(std::string("\\") + name, 3)}, {{std::string("\\") + name, "new"}}));
        EXPECT_FALSE(outcome.endOfTask.has_value());
        EXPECT_NE(Marker(), "2");
        const std::vector<std::string> log = drive.LogMessages();
        const std::string failed = msg::DownloadFailed(std::string("\\") + name, ERROR_ACCESS_DENIED);
        EXPECT_NE(std::find(log.begin() + static_cast<std::ptrdiff_t>(logBefore), log.end(), failed), log.end());
    }
}

// The check list is read in place while the files arrive; another process
// cutting it short meanwhile must not bring the client down.
TEST_F(UpdateTaskBuffered, ACheckListCutShortDuringTheDownloadsDoesNotEndTheClient)
{
    PeerScript script =
        Script(kGame, "2", {FileRecord("\\a.txt", 1), FileRecord("\\b.txt", 1)}, {{"\\a.txt", "a"}, {"\\b.txt", "b"}});
    script.onRequest = [&](size_t) { fs::resize_file(drive.Host(kGame + kTempCheckList), 0); };
    const PeerOutcome outcome = Run(script);
    ASSERT_TRUE(outcome.endOfTask.has_value()) << outcome.error;
    EXPECT_EQ(outcome.RequestedNames(), (std::vector<std::string>{"\\a.txt", "\\b.txt"}));
    EXPECT_EQ(Marker(), "2");
}

// A link planted in the place of the marker folder is removed before the
// check list is written there. Whichever call of the task fails, nothing is
// ever written through the link: one that cannot be removed, or not even
// looked at, fails the task.
TEST_F(UpdateTaskBuffered, AMarkerFolderLinkIsNeverWrittenThroughWhateverCallFails)
{
    const fs::path elsewhere = drive.Root() / "elsewhere";
    const fs::path link = drive.Host(kGame).parent_path() / "tarngamever";
    const auto reset = [&] {
        fs::remove_all(drive.Host("D:\\Games"));
        fs::remove_all(elsewhere);
        fs::create_directories(elsewhere);
        fs::create_directories(drive.Host(kGame));
        fs::create_directory_symlink(elsewhere, link);
    };
    const auto update = [&] { return Run(Script(kGame, "2", {FileRecord("\\a.txt", 1)}, {{"\\a.txt", "a"}})); };
    const auto check = [&](const PeerOutcome& outcome, long failCall) {
        EXPECT_TRUE(fs::is_empty(elsewhere)) << "written through the link";
        if (failCall == 0) {
            EXPECT_TRUE(outcome.endOfTask.has_value()) << outcome.error;
        }
    };
    faultsweep::SweepEveryCall(link.string(), faultsweep::kIoError, reset, update, check);
}

// The marker folder is created as "tarngamever" and the marker written in
// "tarnGameVer": where names differ by case, a link planted under the second
// spelling must not take the marker elsewhere.
TEST_F(UpdateTaskBuffered, TheMarkerIsNotWrittenThroughALinkUnderItsOwnSpelling)
{
    fs::create_directories(drive.Host(kGame + "tarngamever"));
    fs::create_directories(drive.Root() / "elsewhere");
    fs::create_directory_symlink(drive.Root() / "elsewhere", drive.Host(kGame).parent_path() / "tarnGameVer");
    const PeerOutcome outcome = Run(Script(kGame, "2", {FileRecord("\\a.txt", 1)}, {{"\\a.txt", "a"}}));
    ASSERT_TRUE(outcome.endOfTask.has_value()) << outcome.error;
    EXPECT_TRUE(fs::is_empty(drive.Root() / "elsewhere"));
    EXPECT_EQ(Marker(), "2");
}

// A link at the game folder or above it is followed only when an
// administrator (or the system) made it: one an ordinary user made could send
// the update's writes and deletions anywhere. Such a game path is refused
// before the reply, logged with the link, and nothing changes on either side
// of the link. An administrator's link (a game moved to another disk) is
// followed as it always was, deletions of unlisted files included.
TEST_F(UpdateTaskBuffered, LinksAtOrAboveTheGameFolderAreFollowedOnlyWhenAnAdministratorMadeThem)
{
    struct Case {
        const char* name;
        std::string game;
        std::string link; // a folder link on the game's path, to a folder of its own
        uid_t owner;
    };
    const Case cases[] = {
        {"a user's link at the game folder", R"(D:\Games\A\)", R"(D:\Games\A)", plantedlinks::kOrdinaryUser},
        {"a user's link above the game folder", R"(D:\B\X\)", R"(D:\B)", plantedlinks::kOrdinaryUser},
        {"an administrator's link at the game folder", R"(D:\Games\C\)", R"(D:\Games\C)", plantedlinks::kAdministrator},
        {"an administrator's link above the game folder", R"(D:\E\X\)", R"(D:\E)", plantedlinks::kAdministrator},
    };
    // Everything on the drive but the log, which the task writes to.
    const auto DriveTree = [this] {
        auto tree = plantedlinks::TreeOf(drive.Root());
        std::erase_if(tree, [](const auto& entry) { return entry.first.starts_with("log"); });
        return tree;
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path target = drive.Root() / ("target" + std::to_string(++index));
        fs::create_directories(target);
        fs::create_directories(drive.Host(c.link).parent_path());
        if (!plantedlinks::PlantFolderLink(target, drive.Host(c.link), c.owner)) {
            GTEST_SKIP() << "a link can be given to another owner only by root";
        }
        PutFile(drive, c.game + "old.txt", "old"); // unlisted: the update deletes it
        const auto before = plantedlinks::TreeOf(target);
        const auto driveBefore = DriveTree();

        const PeerOutcome outcome = Run(Script(c.game, "2", {FileRecord("\\game.exe", 3)}, {{"\\game.exe", "exe"}}));

        EXPECT_TRUE(fs::is_symlink(drive.Host(c.link)));
        if (c.owner == plantedlinks::kOrdinaryUser) {
            EXPECT_FALSE(outcome.reply.has_value());
            EXPECT_EQ(plantedlinks::TreeOf(target), before);
            EXPECT_EQ(DriveTree(), driveBefore);
            EXPECT_EQ(drive.LogMessages().back(), msg::GamePathThroughUntrustedLink(c.game, c.link));
        } else {
            ASSERT_TRUE(outcome.endOfTask.has_value()) << outcome.error;
            EXPECT_EQ(ReadFileBytes(drive, c.game + "game.exe"), "exe");
            EXPECT_FALSE(Exists(drive, c.game + "old.txt"));
            EXPECT_EQ(Marker(c.game), "2");
            EXPECT_EQ(drive.LogMessages().back(), msg::TaskDone(1, 42, c.game));
        }
    }
}

TEST_F(UpdateTaskBuffered, ParametersWithoutTerminatorOrRoomAreRefusedWithoutAReply)
{
    PeerScript noNul = Script(kGame, "1", {});
    std::memset(noNul.params.gameVersion, 'v', sizeof(noNul.params.gameVersion));
    const PeerOutcome first = Run(noNul);
    EXPECT_FALSE(first.reply.has_value());

    const std::string longGame = "D:\\" + std::string(220, 'g') + "\\"; // 224 characters
    const PeerOutcome second = Run(Script(longGame, "1", {}));
    EXPECT_FALSE(second.reply.has_value());
    EXPECT_FALSE(Exists(drive, longGame));
    EXPECT_EQ(drive.LogMessages(),
              (std::vector<std::string>{msg::ParamsWithoutTerminator(42), msg::GamePathTooLong(longGame)}));
}

// A game path of any other form than "D:\names\" could put the game, its
// marker or its deletions elsewhere than it reads: refused before anything is
// touched, and logged.
TEST_F(UpdateTaskBuffered, GamePathsOfAnyOtherFormAreRefusedWithoutAReply)
{
    PutFile(drive, "D:\\Games\\keep.txt", "a neighbour");
    const std::string paths[] = {
        "D:\\Games\\X", // the marker folder would go beside X
        "\\Games\\X\\", // on no drive
        "..\\X\\",      // relative to the service's folder
        "D:Games\\X\\",
        "D:\\Games\\\\X\\", // an empty name: not the depth it reads
        "D:\\Games\\X\\\\", "D:\\Games\\..\\", "D:\\Games\\X \\", "D:\\Games\\COM1\\",
    };
    std::vector<std::string> expectedLog;
    for (const std::string& path : paths) {
        const PeerOutcome outcome = Run(Script(path, "1", {}));
        EXPECT_FALSE(outcome.reply.has_value()) << path;
        expectedLog.push_back(msg::GamePathInvalid(path));
    }
    EXPECT_EQ(drive.LogMessages(), expectedLog);
    EXPECT_EQ(ReadFileBytes(drive, "D:\\Games\\keep.txt"), "a neighbour");
    EXPECT_FALSE(Exists(drive, "D:\\Games\\X"));
    EXPECT_FALSE(Exists(drive, "D:\\Games\\Xtarngamever"));
    EXPECT_FALSE(Exists(drive, "D:\\Games\\tarngamever"));
}

TEST_F(UpdateTaskBuffered, CheckListThatCannotBeWrittenInFullFailsTheTask)
{
    PutFile(drive, kGame + kMarker, "1.0");
    std::vector<QELDtFile> records;
    for (int i = 0; i < 300; ++i) {
        records.push_back(FileRecord("\\f" + std::to_string(1000 + i), 1));
    }
    PeerOutcome outcome;
    {
        FileSizeLimit fullDisk(64 * 1024);
        outcome = Run(Script(kGame, "2", records));
    }
    EXPECT_TRUE(outcome.requests.empty());
    EXPECT_EQ(Marker(), "1.0");
    const std::vector<std::string> log = drive.LogMessages();
    ASSERT_EQ(log.size(), 2u);
    const std::string failedPrefix = msg::CheckFileFailed(0).substr(0, msg::CheckFileFailed(0).size() - 2);
    EXPECT_EQ(log[1].rfind(failedPrefix, 0), 0u) << log[1];
    EXPECT_NE(log[1], msg::CheckFileFailed(1));
}
