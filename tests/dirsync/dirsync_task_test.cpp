// Whole directory sync tasks over the real transport: a SyncService behind a
// task server on loopback, the server's session library on the other end
// serving a folder's check list and files, drives c to h mapped to
// temporary folders.
#include "DirSyncFixture.h"
#include "PlantedLinks.h"
#include "WriteModes.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <task_connection.h>

#include <cstring>
#include <span>
#include <thread>

using namespace dstest;
namespace fs = std::filesystem;

namespace {

const std::string kBase = "\\games\\x";

// The server's folder of most tests: five entries, four of them files, one
// of size 0 (it causes no exchange) and one larger than a receive chunk.
struct ServedFile {
    std::string name; // as the check list names it
    std::string content;
};

std::vector<ServedFile> ServedFiles()
{
    return {
        {"\\a.txt", "alpha\r\n"},
        {"\\bin\\b.dat", Pattern(70000, 1)},
        {"\\bin\\deep\\c.bin", Pattern(0x80001, 2)},
        {"\\zero.txt", ""},
    };
}

std::string HostName(const std::string& name)
{
    std::string host = name.substr(1);
    for (char& c : host) {
        if (c == '\\') {
            c = '/';
        }
    }
    return host;
}

class DirectorySync : public ::testing::Test {
protected:
    // Every test starts without the data file of the tests before it.
    explicit DirectorySync(qek::WriteMode mode = qek::WriteMode::Buffered) : client(mode)
    {
        fs::remove(DataFileHostPath());
    }

    // Runs one task; the client's handler has returned when this returns.
    qelsrv::SessionResult Run(const TaskParams& params)
    {
        qelsrv::SessionResult result = RunSync(client.Port(), ws.ServerFolder(), params);
        EXPECT_TRUE(client.WaitForTasks(++tasks)) << "the task did not end";
        return result;
    }

    void Serve(const std::vector<ServedFile>& files, bool withEmptyDirectory = true)
    {
        for (const ServedFile& file : files) {
            ws.PutServerFile(HostName(file.name), file.content);
        }
        if (withEmptyDirectory) {
            fs::create_directories(ws.ServerFolder() / "empty");
        }
    }

    // Creates the directory "games\x" on each of the drives.
    void MakeBaseOn(std::string_view letters, const std::string& below = "games\\x")
    {
        for (char letter : letters) {
            fs::create_directories(ws.Host(std::string(1, letter) + ":\\" + below));
        }
    }

    // Every served file, with the server's content and time, below `root`.
    void ExpectServedFilesIn(const std::string& root, const std::vector<ServedFile>& files)
    {
        for (const ServedFile& file : files) {
            const fs::path local = ws.Host(root + file.name.substr(1));
            EXPECT_EQ(ReadFile(local), file.content) << local;
            EXPECT_EQ(FileTimeOf(local), FileTimeOf(ws.ServerFolder() / HostName(file.name))) << local;
        }
    }

    void ExpectNoServedFileIn(const std::string& root, const std::vector<ServedFile>& files)
    {
        for (const ServedFile& file : files) {
            EXPECT_FALSE(fs::exists(ws.Host(root + file.name.substr(1)))) << root << file.name;
        }
    }

    bool HasGames(char letter) const { return fs::exists(ws.DriveFolder(letter) / "games"); }

    Workspace ws;
    SyncClient client;
    int tasks = 0;
};

class DirectorySyncInBothModes : public DirectorySync, public ::testing::WithParamInterface<qek::WriteMode> {
protected:
    DirectorySyncInBothModes() : DirectorySync(GetParam()) { }
};

} // namespace

TEST_P(DirectorySyncInBothModes, DownloadsEachFileOnceIntoTheLastDriveAndCopiesItToTheOthers)
{
    const std::vector<ServedFile> files = ServedFiles();
    Serve(files);
    MakeBaseOn("deg");
    PutFile(ws.Host("d:\\games\\x\\a.txt"), "an older alpha"); // replaced on a copy root too

    const qelsrv::SessionResult result = Run(SyncParams(kBase));

    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_EQ(result.replyCode, 1u);
    EXPECT_EQ(result.filesServed, 3u) << "one transfer per file (the empty one needs none)";
    EXPECT_EQ(result.filesDone, 4u);
    for (const std::string root : {"g:\\games\\x\\", "d:\\games\\x\\", "e:\\games\\x\\"}) {
        ExpectServedFilesIn(root, files);
    }
    // A listed directory is created on the primary root only; the copies
    // create only the directories of the files they copy.
    EXPECT_TRUE(fs::is_directory(ws.Host("g:\\games\\x\\empty")));
    EXPECT_FALSE(fs::exists(ws.Host("d:\\games\\x\\empty")));
    EXPECT_FALSE(fs::exists(ws.Host("e:\\games\\x\\empty")));
    for (char letter : std::string_view("cfh")) {
        EXPECT_FALSE(HasGames(letter)) << letter;
    }
    EXPECT_EQ(ReadFile(DataFileHostPath()), qelsrv::SerializeCheckList(qelsrv::BuildCheckList(ws.ServerFolder())));

    const std::vector<std::string> log = ws.LogMessages();
    const int listSize = static_cast<int>(qelsrv::BuildCheckList(ws.ServerFolder()).ByteSize());
    const int bytes = 7 + 70000 + 0x80001;
    std::vector<std::string> expected = {
        msg::StartCheckFile(DataFileWindowsPath()),
        msg::CheckFileReceived(DataFileWindowsPath(), listSize),
        msg::FilesToUpdate(4, 0, bytes),
    };
    if (GetParam() == qek::WriteMode::Unbuffered) {
        for (const ServedFile& file : files) { // in the order of the list's names
            expected.push_back(msg::Downloaded("g:\\games\\x\\" + file.name, 0, static_cast<int>(file.content.size())));
        }
    }
    expected.push_back(msg::TaskDone(4, 7, "g:\\games\\x\\"));
    EXPECT_EQ(log, expected);
}

INSTANTIATE_TEST_SUITE_P(WriteModes, DirectorySyncInBothModes, qeltest::EveryWriteMode(),
                         [](const auto& info) { return qeltest::WriteModeName(info); });

TEST_F(DirectorySync, TheBasePathFormsSearchTheSameCandidates)
{
    const std::vector<ServedFile> files = ServedFiles();
    Serve(files);
    MakeBaseOn("e");
    // Without a drive, with one (whose letter plays no part), with one or two
    // trailing backslashes (of which one is removed).
    const struct {
        const char* basePath;
        const char* root;
    } cases[] = {
        {"\\games\\x", "e:\\games\\x\\"},   {"games\\x", "e:\\games\\x\\"},       {"q:\\games\\x", "e:\\games\\x\\"},
        {"\\games\\x\\", "e:\\games\\x\\"}, {"G:\\games\\x\\", "e:\\games\\x\\"},
    };
    int taskId = 100;
    for (const auto& c : cases) {
        fs::remove_all(ws.Host("e:\\games\\x"));
        MakeBaseOn("e");
        const qelsrv::SessionResult result = Run(SyncParams(c.basePath, "\\", 0, 0, 0, ++taskId));
        ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << c.basePath << ": " << result.error;
        ExpectServedFilesIn(c.root, files);
        EXPECT_TRUE(Contains(ws.LogMessages(), msg::TaskDone(4, taskId, c.root))) << c.basePath;
    }
    for (char letter : std::string_view("cdfgh")) {
        EXPECT_FALSE(HasGames(letter)) << letter;
    }
}

TEST_F(DirectorySync, OnOneDriveOnlyNothingIsCopied)
{
    const std::vector<ServedFile> files = ServedFiles();
    Serve(files);
    MakeBaseOn("f");
    fs::create_directories(ws.Host("d:\\games\\y")); // a neighbour is no copy

    const qelsrv::SessionResult result = Run(SyncParams(kBase));

    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    ExpectServedFilesIn("f:\\games\\x\\", files);
    EXPECT_FALSE(fs::exists(ws.Host("d:\\games\\x")));
    for (char letter : std::string_view("cegh")) {
        EXPECT_FALSE(HasGames(letter)) << letter;
    }
    EXPECT_TRUE(Contains(ws.LogMessages(), msg::TaskDone(4, 7, "f:\\games\\x\\")));
}

TEST_F(DirectorySync, TheExcludedDriveIsNamedInLowerCase)
{
    const std::vector<ServedFile> files = ServedFiles();
    Serve(files);
    const struct {
        uint32_t excludeDrive;
        char letter;
        const char* primary;
        const char* copy; // or nullptr
        const char* untouched;
    } cases[] = {
        {1, 'e', "d:\\games\\x\\", nullptr, "e:\\games\\x\\"},
        {1, 'E', "e:\\games\\x\\", "d:\\games\\x\\", nullptr},
        {0, 'e', "e:\\games\\x\\", "d:\\games\\x\\", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("excludeDrive ") + std::to_string(c.excludeDrive) + " letter " + c.letter);
        fs::remove_all(ws.Host("d:\\games"));
        fs::remove_all(ws.Host("e:\\games"));
        MakeBaseOn("de");

        const qelsrv::SessionResult result = Run(SyncParams(kBase, "\\", c.excludeDrive, c.letter));

        ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
        EXPECT_EQ(result.filesServed, 3u);
        ExpectServedFilesIn(c.primary, files);
        if (c.copy != nullptr) {
            ExpectServedFilesIn(c.copy, files);
        }
        if (c.untouched != nullptr) {
            EXPECT_TRUE(fs::is_empty(ws.Host(c.untouched)));
        }
    }
}

TEST_F(DirectorySync, ADirectoryOnNoDriveIsAnsweredWith110030AndTheDataFileIsLeftAlone)
{
    Serve(ServedFiles());
    MakeBaseOn("dg");
    fs::create_directories(DataFileHostPath().parent_path());
    PutFile(DataFileHostPath(), "the list of an earlier task");
    // The base path as logged has lost one trailing backslash. A drive root
    // is never a sync root; a wildcard would match "games\x".
    const struct {
        const char* basePath;
        const char* logged;
    } cases[] = {
        {"\\games\\nowhere\\", "\\games\\nowhere"},
        {"\\", ""},
        {"", ""},
        {"q:\\", "q:"},
        {"\\games\\*", "\\games\\*"},
        {"\\games\\?", "\\games\\?"},
    };
    for (const auto& c : cases) {
        const qelsrv::SessionResult result = Run(SyncParams(c.basePath));

        EXPECT_EQ(result.outcome, qelsrv::SessionOutcome::Declined) << c.basePath << ": " << result.error;
        EXPECT_EQ(result.replyCode, 110030u) << c.basePath;
        EXPECT_EQ(ws.LogMessages().back(), msg::NotFound(c.logged)) << c.basePath;
    }
    EXPECT_EQ(ws.LogMessages().size(), std::size(cases));
    EXPECT_EQ(ReadFile(DataFileHostPath()), "the list of an earlier task");
    EXPECT_TRUE(fs::is_empty(ws.Host("d:\\games\\x")));
    EXPECT_TRUE(fs::is_empty(ws.Host("g:\\games\\x")));
}

TEST_F(DirectorySync, FilesCurrentOnThePrimaryRootAreNeitherFetchedNorCopied)
{
    const std::vector<ServedFile> files = ServedFiles();
    Serve(files);
    MakeBaseOn("g");
    ASSERT_EQ(Run(SyncParams(kBase)).outcome, qelsrv::SessionOutcome::Completed);
    // A copy root that appears later gets nothing while the primary is current.
    MakeBaseOn("d");

    const qelsrv::SessionResult result = Run(SyncParams(kBase, "\\", 0, 0, 0, 8));

    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_EQ(result.filesServed, 0u);
    EXPECT_EQ(result.filesDone, 0u);
    EXPECT_TRUE(fs::is_empty(ws.Host("d:\\games\\x")));
    const std::vector<std::string> log = ws.LogMessages();
    EXPECT_EQ(log.back(), msg::TaskDone(0, 8, "g:\\games\\x\\"));
    EXPECT_TRUE(Contains(log, msg::FilesToUpdate(0, 0, 0)));

    // With skipLocalCompare every file comes again, and goes to the copy.
    const qelsrv::SessionResult full = Run(SyncParams(kBase, "\\", 0, 0, 1, 9));
    ASSERT_EQ(full.outcome, qelsrv::SessionOutcome::Completed) << full.error;
    EXPECT_EQ(full.filesServed, 3u);
    ExpectServedFilesIn("d:\\games\\x\\", files);
}

TEST_F(DirectorySync, UnlistedLocalEntriesSurviveOnEveryDrive)
{
    Serve(ServedFiles());
    MakeBaseOn("deg");
    for (const char* root : {"d:\\games\\x\\", "e:\\games\\x\\", "g:\\games\\x\\"}) {
        PutFile(ws.Host(std::string(root) + "keep.cfg"), "mine");
        PutFile(ws.Host(std::string(root) + "mods\\m.pak"), "mod");
        PutFile(ws.Host(std::string(root) + "bin\\local.dll"), "local");
    }
    for (uint32_t skipLocalCompare : {0u, 1u}) {
        ASSERT_EQ(Run(SyncParams(kBase, "\\", 0, 0, skipLocalCompare)).outcome, qelsrv::SessionOutcome::Completed);
        for (const char* root : {"d:\\games\\x\\", "e:\\games\\x\\", "g:\\games\\x\\"}) {
            EXPECT_EQ(ReadFile(ws.Host(std::string(root) + "keep.cfg")), "mine") << root;
            EXPECT_EQ(ReadFile(ws.Host(std::string(root) + "mods\\m.pak")), "mod") << root;
            EXPECT_EQ(ReadFile(ws.Host(std::string(root) + "bin\\local.dll")), "local") << root;
        }
    }
}

TEST_F(DirectorySync, TheThirdOfFiveFilesFailing)
{
    std::vector<ServedFile> files;
    for (int i = 1; i <= 5; ++i) {
        files.push_back({"\\f" + std::to_string(i), Pattern(1000, i)});
    }
    Serve(files, false);
    MakeBaseOn("deg");
    // A directory in the third file's place on the primary root: its creation fails.
    fs::create_directories(ws.Host("g:\\games\\x\\f3"));

    const qelsrv::SessionResult result = Run(SyncParams(kBase));

    EXPECT_EQ(result.outcome, qelsrv::SessionOutcome::Failed);
    EXPECT_EQ(result.filesServed, 2u);
    for (const char* root : {"g:\\games\\x\\", "d:\\games\\x\\", "e:\\games\\x\\"}) {
        ExpectServedFilesIn(root, {files[0], files[1]});
        ExpectNoServedFileIn(root, {files[3], files[4]});
    }
    EXPECT_FALSE(fs::exists(ws.Host("d:\\games\\x\\f3")));
    const std::vector<std::string> log = ws.LogMessages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], msg::CreateFailed("g:\\games\\x\\\\f3", ERROR_ACCESS_DENIED));
    EXPECT_EQ(log.back(), msg::DownloadFailed("\\f3", ERROR_ACCESS_DENIED));
}

TEST_F(DirectorySync, EachTaskReplacesTheDataFile)
{
    std::vector<ServedFile> files;
    for (int i = 1; i <= 5; ++i) {
        files.push_back({"\\f" + std::to_string(i), Pattern(100, i)});
    }
    Serve(files, false);
    MakeBaseOn("d");
    ASSERT_EQ(Run(SyncParams(kBase)).outcome, qelsrv::SessionOutcome::Completed);
    const std::string first = qelsrv::SerializeCheckList(qelsrv::BuildCheckList(ws.ServerFolder()));
    EXPECT_EQ(ReadFile(DataFileHostPath()), first);

    for (int i = 2; i <= 5; ++i) {
        fs::remove(ws.ServerFolder() / ("f" + std::to_string(i)));
    }
    ASSERT_EQ(Run(SyncParams(kBase)).outcome, qelsrv::SessionOutcome::Completed);
    const std::string second = qelsrv::SerializeCheckList(qelsrv::BuildCheckList(ws.ServerFolder()));
    ASSERT_LT(second.size(), first.size());
    EXPECT_EQ(ReadFile(DataFileHostPath()), second);
}

TEST_F(DirectorySync, ASubPathSyncsAFolderBelowTheDirectoryFound)
{
    const std::vector<ServedFile> files = ServedFiles();
    Serve(files);
    MakeBaseOn("dg");

    const qelsrv::SessionResult result = Run(SyncParams(kBase, "\\maps\\new\\"));

    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    ExpectServedFilesIn("g:\\games\\x\\maps\\new\\", files);
    ExpectServedFilesIn("d:\\games\\x\\maps\\new\\", files);
    EXPECT_TRUE(Contains(ws.LogMessages(), msg::TaskDone(4, 7, "g:\\games\\x\\maps\\new\\")));
}

TEST_F(DirectorySync, ParametersThatCannotNameARootAreRefusedWithoutAReply)
{
    Serve(ServedFiles());
    MakeBaseOn("dg");
    const std::string longBase = "\\" + std::string(253, 'n'); // "c:" and it: 256 bytes
    const std::string fittingBase = "\\" + std::string(200, 'n');
    fs::create_directories(ws.Host("d:" + fittingBase));
    const std::string longSub = "\\" + std::string(60, 's') + "\\";
    TaskParams unterminated = SyncParams(kBase);
    std::memset(unterminated.subPath, 's', sizeof(unterminated.subPath));

    const struct {
        TaskParams params;
        std::string logged;
    } cases[] = {
        {SyncParams(longBase), msg::PathTooLong(longBase, "\\")},
        {SyncParams(fittingBase, longSub), msg::PathTooLong(fittingBase, longSub)},
        {SyncParams(kBase, ""), msg::BadSubPath("")},
        {SyncParams(kBase, "\\maps"), msg::BadSubPath("\\maps")},
        {SyncParams(kBase, "maps\\"), msg::BadSubPath("maps\\")},
        {SyncParams(kBase, "\\..\\"), msg::BadSubPath("\\..\\")},
        {SyncParams(kBase, "\\\\"), msg::BadSubPath("\\\\")},
        {unterminated, msg::ParamsWithoutTerminator(7)},
    };
    for (const auto& c : cases) {
        const qelsrv::SessionResult result = Run(c.params);

        EXPECT_EQ(result.outcome, qelsrv::SessionOutcome::Failed) << c.logged;
        EXPECT_EQ(result.replyCode, 0u) << "no reply: " << c.logged;
        EXPECT_EQ(ws.LogMessages().back(), c.logged);
    }
    EXPECT_TRUE(fs::is_empty(ws.Host("d:\\games\\x")));
    EXPECT_TRUE(fs::is_empty(ws.Host("g:\\games\\x")));
    EXPECT_TRUE(fs::is_empty(ws.Host("d:" + fittingBase)));
    EXPECT_FALSE(fs::exists(DataFileHostPath()));
}

TEST_F(DirectorySync, ACopyRootThatIsThePrimaryRootUnderAnotherNameIsSkipped)
{
    const std::vector<ServedFile> files = ServedFiles();
    Serve(files);
    MakeBaseOn("eg");
    // d:\games\x is a link to g:\games\x.
    fs::create_directories(ws.Host("d:\\games"));
    fs::create_directory_symlink(ws.Host("g:\\games\\x"), ws.Host("d:\\games\\x"));
    // And drive h is drive g's folder under another letter.
    ws.MapDrive('h', ws.DriveFolder('g'));

    const qelsrv::SessionResult result = Run(SyncParams(kBase));

    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_EQ(result.filesServed, 3u);
    // h is the last drive: the primary root. g and d lead to it.
    ExpectServedFilesIn("h:\\games\\x\\", files);
    ExpectServedFilesIn("e:\\games\\x\\", files);
    EXPECT_TRUE(fs::is_symlink(ws.DriveFolder('d') / "games" / "x"));
    const std::vector<std::string> log = ws.LogMessages();
    EXPECT_TRUE(Contains(log, msg::SameDirectory("d:\\games\\x\\")));
    EXPECT_TRUE(Contains(log, msg::SameDirectory("g:\\games\\x\\")));
    EXPECT_FALSE(Contains(log, msg::SameDirectory("e:\\games\\x\\")));
    EXPECT_EQ(log.back(), msg::TaskDone(4, 7, "h:\\games\\x\\"));
}

TEST_F(DirectorySync, ALinkBelowACopyRootIsReplacedNotCopiedThrough)
{
    const std::vector<ServedFile> files = ServedFiles();
    Serve(files);
    MakeBaseOn("dg");
    // d:\games\x\bin leads to the primary root's bin, where an old b.dat lies;
    // a copy through it would meet the file it copies.
    PutFile(ws.Host("g:\\games\\x\\bin\\b.dat"), "old");
    fs::create_directory_symlink(ws.Host("g:\\games\\x\\bin"), ws.Host("d:\\games\\x\\bin"));

    const qelsrv::SessionResult result = Run(SyncParams(kBase));

    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    ExpectServedFilesIn("g:\\games\\x\\", files);
    ExpectServedFilesIn("d:\\games\\x\\", files);
    EXPECT_FALSE(fs::is_symlink(ws.DriveFolder('d') / "games" / "x" / "bin"));
    EXPECT_TRUE(fs::is_directory(ws.DriveFolder('d') / "games" / "x" / "bin"));
}

// A link at a root or above it is followed only when an administrator (or
// the system) made it. A root reached through a user's link is logged and
// left out as if its drive did not hold the directory: the last drive left is
// the primary root, and with none left the task has nothing to sync. Nothing
// changes where the link leads.
namespace {

struct LinkOwnerCase {
    const char* name;
    const char* foldersOn;   // drives on which "games\x" is a folder
    const char* link;        // a folder link to "c:\elsewhere"
    const char* targetHolds; // what "c:\elsewhere" holds of the path below the link
    uid_t owner;
    const char* primary; // the primary root expected; "" for none
    const char* copy;    // a copy root expected; "" for none
};

void PrintTo(const LinkOwnerCase& c, std::ostream* out)
{
    *out << c.name;
}

class DirectorySyncLinkOwners : public DirectorySync, public ::testing::WithParamInterface<LinkOwnerCase> { };

} // namespace

TEST_P(DirectorySyncLinkOwners, LinksAtOrAboveARootAreFollowedOnlyWhenAnAdministratorMadeThem)
{
    const LinkOwnerCase& c = GetParam();
    const std::vector<ServedFile> files = ServedFiles();
    Serve(files);
    MakeBaseOn(c.foldersOn);
    const fs::path target = ws.Host("c:\\elsewhere");
    PutFile(target / c.targetHolds / "keep.txt", "keep");
    const fs::path link = ws.Host(c.link);
    fs::create_directories(link.parent_path());
    if (!plantedlinks::PlantFolderLink(target, link, c.owner)) {
        GTEST_SKIP() << "a link can be given to another owner only by root";
    }
    const auto before = plantedlinks::TreeOf(target);

    const qelsrv::SessionResult result = Run(SyncParams(kBase));

    EXPECT_TRUE(fs::is_symlink(link));
    const std::vector<std::string> log = ws.LogMessages();
    if (c.owner == plantedlinks::kOrdinaryUser) {
        EXPECT_EQ(plantedlinks::TreeOf(target), before);
        const std::string root = std::string(1, c.link[0]) + ":\\games\\x\\";
        EXPECT_EQ(log.front(), msg::RootThroughUntrustedLink(root, c.link));
    }
    if (*c.primary == '\0') {
        EXPECT_EQ(result.outcome, qelsrv::SessionOutcome::Declined) << result.error;
        EXPECT_EQ(result.replyCode, 110030u);
        EXPECT_EQ(log.back(), msg::NotFound(kBase));
        return;
    }
    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    ExpectServedFilesIn(c.primary, files);
    if (*c.copy != '\0') {
        ExpectServedFilesIn(c.copy, files);
    }
    EXPECT_EQ(log.back(), msg::TaskDone(4, 7, c.primary));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DirectorySyncLinkOwners,
    ::testing::Values(LinkOwnerCase{"UsersLinkAtThePrimaryRoot", "d", R"(g:\games\x)", "", plantedlinks::kOrdinaryUser,
                                    R"(d:\games\x\)", ""},
                      LinkOwnerCase{"UsersLinkAboveACopyRoot", "g", R"(d:\games)", "x", plantedlinks::kOrdinaryUser,
                                    R"(g:\games\x\)", ""},
                      LinkOwnerCase{"UsersLinkAboveTheOnlyRoot", "", R"(e:\games)", "x", plantedlinks::kOrdinaryUser,
                                    "", ""},
                      LinkOwnerCase{"AdministratorsLinkAtThePrimaryRoot", "d", R"(g:\games\x)", "",
                                    plantedlinks::kAdministrator, R"(g:\games\x\)", R"(d:\games\x\)"},
                      LinkOwnerCase{"AdministratorsLinkAboveACopyRoot", "g", R"(d:\games)", "x",
                                    plantedlinks::kAdministrator, R"(g:\games\x\)", R"(d:\games\x\)"}),
    [](const ::testing::TestParamInfo<LinkOwnerCase>& info) { return std::string(info.param.name); });

TEST_F(DirectorySync, AProtectedFileOnACopyRootIsReplaced)
{
    const std::vector<ServedFile> files = ServedFiles();
    Serve(files);
    MakeBaseOn("dg");
    PutFile(ws.Host("d:\\games\\x\\a.txt"), "read-only and hidden");
    ASSERT_TRUE(SetFileAttributesA("d:\\games\\x\\a.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));

    const qelsrv::SessionResult result = Run(SyncParams(kBase));

    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    ExpectServedFilesIn("d:\\games\\x\\", files);
    const DWORD attributes = GetFileAttributesA("d:\\games\\x\\a.txt");
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), 0u);
}

// A hard link planted where the sync writes (a file on a copy root, the data
// file) shares its bytes with a file elsewhere: the entry is replaced by a
// file of its own and the other file keeps its bytes.
TEST_F(DirectorySync, HardLinksPlantedWhereTheSyncWritesAreNotWrittenThrough)
{
    const std::vector<ServedFile> files = ServedFiles();
    Serve(files);
    MakeBaseOn("dg");
    const fs::path victim = ws.DriveFolder('c') / "victim.txt";
    PutFile(victim, "the victim's bytes");
    fs::create_hard_link(victim, ws.Host("d:\\games\\x\\a.txt"));
    fs::create_directories(DataFileHostPath().parent_path());
    fs::remove(DataFileHostPath());
    fs::create_hard_link(victim, DataFileHostPath());

    const qelsrv::SessionResult result = Run(SyncParams(kBase));

    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    ExpectServedFilesIn("d:\\games\\x\\", files);
    EXPECT_EQ(ReadFile(victim), "the victim's bytes");
    EXPECT_EQ(fs::hard_link_count(victim), 1u);
}

TEST_F(DirectorySync, ACopyThatFailsIsLoggedAndTheTaskGoesOn)
{
    const std::vector<ServedFile> files = ServedFiles();
    Serve(files);
    MakeBaseOn("deg");
    // A file in the place of e:\games\x\bin: no directory can hold the copies.
    PutFile(ws.Host("e:\\games\\x\\bin"), "in the way");

    const qelsrv::SessionResult result = Run(SyncParams(kBase));

    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    ExpectServedFilesIn("d:\\games\\x\\", files);
    ExpectServedFilesIn("g:\\games\\x\\", files);
    EXPECT_EQ(ReadFile(ws.Host("e:\\games\\x\\bin")), "in the way");
    const std::vector<std::string> log = ws.LogMessages();
    EXPECT_TRUE(Contains(log, msg::CopyFailed("e:\\games\\x\\bin\\b.dat", ERROR_PATH_NOT_FOUND)));
    EXPECT_TRUE(Contains(log, msg::CopyFailed("e:\\games\\x\\bin\\deep\\c.bin", ERROR_PATH_NOT_FOUND)));
    EXPECT_EQ(log.back(), msg::TaskDone(4, 7, "g:\\games\\x\\"));
}

TEST_F(DirectorySync, TwoTasksAtOnceEachGetTheirOwnList)
{
    // Two server folders, two directories: each task must work from its own
    // list although both receive it into the one data file.
    const std::vector<ServedFile> first = ServedFiles();
    Serve(first);
    const fs::path otherFolder = ws.ServerFolder().parent_path() / "server2";
    std::vector<ServedFile> second;
    for (int i = 1; i <= 20; ++i) {
        second.push_back({"\\y" + std::to_string(i), Pattern(5000, 100 + i)});
        PutFile(otherFolder / ("y" + std::to_string(i)), second.back().content);
    }
    MakeBaseOn("dg");
    MakeBaseOn("ef", "games\\y");

    qelsrv::SessionResult resultY;
    std::thread other([&] { resultY = RunSync(client.Port(), otherFolder, SyncParams("\\games\\y")); });
    const qelsrv::SessionResult resultX = RunSync(client.Port(), ws.ServerFolder(), SyncParams(kBase));
    other.join();
    tasks += 2;
    ASSERT_TRUE(client.WaitForTasks(tasks));

    ASSERT_EQ(resultX.outcome, qelsrv::SessionOutcome::Completed) << resultX.error;
    ASSERT_EQ(resultY.outcome, qelsrv::SessionOutcome::Completed) << resultY.error;
    ExpectServedFilesIn("g:\\games\\x\\", first);
    ExpectServedFilesIn("d:\\games\\x\\", first);
    for (const char* root : {"f:\\games\\y\\", "e:\\games\\y\\"}) {
        for (const ServedFile& file : second) {
            EXPECT_EQ(ReadFile(ws.Host(root + file.name.substr(1))), file.content) << root << file.name;
        }
    }
}

TEST_F(DirectorySync, ARequestThatDoesNotArriveIsLogged)
{
    {
        qelsrv::TaskConnection task = qelsrv::TaskConnection::Connect("127.0.0.1", client.Port());
        task.SendHeader(kTaskDirectorySync, sizeof(TaskParams));
        task.Send(std::as_bytes(std::span("half", 4)));
    } // closed
    ASSERT_TRUE(client.WaitForTasks(++tasks));
    EXPECT_EQ(ws.LogMessages(), std::vector<std::string>{msg::ReceiveParamsFailed(-1)});
}
