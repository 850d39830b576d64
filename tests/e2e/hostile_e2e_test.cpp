// What a hostile or broken server can send, against the installed client, in
// both worlds: names in the check list that climb out of the game, links
// planted in the game, malformed and oversized requests, a connection dropped
// in the middle of a file. The client must write nothing outside the game,
// follow no link, keep the old version when an update does not complete, and
// go on serving other tasks.
#include "E2ESupport.h"

#include "checklist.h"
#include "maintenance_tasks.h"
#include "update_session.h"

#include <cstring>

#include <unistd.h>

namespace fs = std::filesystem;

namespace e2e {
namespace {

constexpr int kErrorInvalidName = 123; // ERROR_INVALID_NAME

TaskParams UpdateParams(const std::string& version, const std::string& gamePath)
{
    TaskParams params{};
    params.taskId = 5;
    std::strncpy(params.gameVersion, version.c_str(), sizeof params.gameVersion - 1);
    std::strncpy(params.gamePath, gamePath.c_str(), sizeof params.gamePath - 1);
    return params;
}

class HostileE2E : public WorldTest {
protected:
    fs::path Game() { return Client().Drive('D') / "Games" / "Alpha"; }

    // The game at version 1.0 with one file of its own.
    void SetUpGame()
    {
        Client().MapDrives({{'D'}});
        PutFile(Game() / "keep.txt", "the client's own file");
        PutFile(Game() / "tarnGameVer" / "tarnGameVer.txt", "1.0");
    }

    // Every file of drive D that is not inside the game.
    std::vector<std::string> FilesOutsideTheGame()
    {
        std::vector<std::string> outside;
        for (const auto& [name, state] : FilesBelow(Client().Drive('D'))) {
            if (name.rfind("Games/Alpha/", 0) != 0) {
                outside.push_back(name);
            }
        }
        return outside;
    }
};

// A name that could lead outside the game, or that Windows would not store as
// written, fails the whole check list: the reply has gone out, but nothing is
// requested, created or deleted, the task ends with the reason in the log,
// and the version stays.
TEST_P(HostileE2E, CheckListNamesThatCouldLeadOutsideTheGameFailTheWholeList)
{
    SetUpGame();
    Client().Start();

    const std::string noTerminator(256, 'n');
    const std::string hostileNames[] = {
        "\\..\\escape.txt",
        "\\sub\\..\\..\\escape.txt",
        "\\..\\..\\Windows\\escape.txt",
        "\\sub/../../escape.txt",
        "\\. .\\escape.txt",
        "\\sub\\\\escape.txt",
        "escape.txt",
        "\\D:escape.txt",
        "\\escape.txt:stream",
        noTerminator,
        // Names Windows would not store as written: a device, a name without
        // its trailing dot or space (a file's or a folder's), a character it refuses.
        "\\COM1.txt",
        "\\NUL",
        "\\aux\\x.txt",
        "\\dot.txt.",
        "\\space.txt ",
        "\\folder \\inside.txt",
        "\\folder.\\inside.txt",
        "\\pipe|name",
    };
    for (const std::string& name : hostileNames) {
        SCOPED_TRACE(name.substr(0, 40));
        ScriptedUpdate script;
        script.params = UpdateParams("2.0", "D:\\Games\\Alpha\\");
        script.records = {FileRecord("\\new\\ok.txt", 2), FileRecord("\\stale-free.txt", 2)};
        QELDtFile hostile = FileRecord("", 6);
        std::memcpy(hostile.name, name.data(), std::min(name.size(), sizeof hostile.name));
        script.records.push_back(hostile);
        script.files = {{"\\new\\ok.txt", "ok"}, {"\\stale-free.txt", "ok"}, {name, "escape"}};
        const ScriptedOutcome outcome = RunScriptedUpdate(Client().Endpoint(), script);
        ASSERT_TRUE(outcome.reply.has_value()) << outcome.error;
        EXPECT_EQ(outcome.reply->resultCode, 1u);
        EXPECT_TRUE(outcome.requested.empty());
        EXPECT_FALSE(outcome.endOfTask.has_value());
    }

    EXPECT_EQ(FilesOutsideTheGame(), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(Client().Drive('C') / "escape.txt"));
    EXPECT_FALSE(fs::exists(Client().Drive('C') / "Windows" / "escape.txt"));
    EXPECT_FALSE(fs::exists(Game() / "new"));
    EXPECT_EQ(ReadFileBytes(Game() / "keep.txt"), "the client's own file");
    EXPECT_EQ(ReadFileBytes(Game() / "tarnGameVer" / "tarnGameVer.txt"), "1.0");
    const std::string failed = msg::CheckFileFailed(kErrorInvalidName);
    EXPECT_EQ(CountMessage(MessagesOnceLogged(Client(), failed, static_cast<int>(std::size(hostileNames))), failed),
              static_cast<int>(std::size(hostileNames)));
}

// A link planted in the game in the place of a listed file or folder is
// replaced by what the list names: nothing is written through it, and what
// it points to outside the game keeps its content.
class PlantedLinkE2E : public HostileE2E {
protected:
    fs::path Precious() { return Client().Drive('D') / "precious"; }

    void SetUpLinks()
    {
        SetUpGame();
        PutFile(Precious() / "save.dat", "must survive");
        PutFile(Precious() / "folder" / "inner.dat", "must survive too");
        fs::create_symlink(Precious() / "save.dat", Game() / "linked.dat");
        fs::create_directory_symlink(Precious() / "folder", Game() / "linked-folder");
        Client().Start();
    }

    // A full update of a game whose only file is `name` (with '/').
    qelsrv::SessionResult UpdateTo(const std::string& name)
    {
        PutFile(server_.Path() / name, "from the server");
        const qelsrv::CheckList list = qelsrv::BuildCheckList(server_.Path());
        qelsrv::FileTaskSpec spec;
        std::string error;
        EXPECT_TRUE(qelsrv::MakeUpdateParams(5, "2.0", "D:\\Games\\Alpha\\", true, spec.params, error)) << error;
        return qelsrv::RunFileTaskSession(Client().Endpoint(), spec, list, {});
    }

    void ExpectNothingOutsideChanged()
    {
        EXPECT_EQ(ReadFileBytes(Precious() / "save.dat"), "must survive");
        EXPECT_EQ(ReadFileBytes(Precious() / "folder" / "inner.dat"), "must survive too");
        EXPECT_EQ(FilesBelow(Precious()).size(), 2u);
    }

    TempFolder server_;
};

TEST_P(PlantedLinkE2E, AFileLinkIsReplacedByTheFile)
{
    if (GetParam() == World::Wine) {
        GTEST_SKIP() << kWineFileLinkLimit;
    }
    SetUpLinks();
    const qelsrv::SessionResult result = UpdateTo("linked.dat");
    ExpectNothingOutsideChanged();
    EXPECT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_FALSE(fs::is_symlink(Game() / "linked.dat"));
    EXPECT_EQ(ReadFileBytes(Game() / "linked.dat"), "from the server");
}

// A link at the game folder that neither an administrator nor the system made
// is not followed: the update is refused before its reply, nothing changes
// where the link leads, and the client goes on serving. In the Linux world
// the link is given to an ordinary user; Wine reports its own user, no
// administrator, as the owner of every file, so there any link is such a one.
TEST_P(PlantedLinkE2E, AUsersLinkAtTheGameFolderIsNotFollowed)
{
    Client().MapDrives({{'D'}});
    PutFile(Precious() / "save.dat", "must survive");
    PutFile(Precious() / "folder" / "inner.dat", "must survive too");
    fs::create_directories(Game().parent_path());
    fs::create_directory_symlink(Precious() / "folder", Game());
    if (GetParam() == World::Linux && lchown(Game().c_str(), 65534, 65534) != 0) {
        GTEST_SKIP() << "a link can be given to another owner only by root";
    }
    Client().Start();

    const qelsrv::SessionResult result = UpdateTo("new.dat");

    EXPECT_EQ(result.outcome, qelsrv::SessionOutcome::Failed);
    EXPECT_FALSE(result.replied);
    ExpectNothingOutsideChanged();
    EXPECT_TRUE(fs::is_symlink(Game()));
    const std::string refused = msg::GamePathThroughUntrustedLink("D:\\Games\\Alpha\\", "D:\\Games\\Alpha");
    EXPECT_EQ(CountMessage(MessagesOnceLogged(Client(), refused), refused), 1);
    EXPECT_TRUE(qelsrv::RunDiskInfoTask(Client().Endpoint()).ok);
}

TEST_P(PlantedLinkE2E, AFolderLinkIsReplacedByAFolderOrTheFileFails)
{
    SetUpLinks();
    const qelsrv::SessionResult result = UpdateTo("linked-folder/inner.dat");
    ExpectNothingOutsideChanged();
    if (GetParam() == World::Wine) {
        // Wine 8 lists a Unix symbolic link to a folder with the reparse-point
        // attribute, but removes the folder it points to rather than the link
        // (ERROR_DIR_NOT_EMPTY here); the link cannot be replaced, so the file
        // fails and the task ends without writing through the link. Windows
        // removes a directory link with RemoveDirectoryA.
        EXPECT_EQ(result.outcome, qelsrv::SessionOutcome::Failed);
        EXPECT_TRUE(fs::is_symlink(Game() / "linked-folder"));
        return;
    }
    EXPECT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_FALSE(fs::is_symlink(Game() / "linked-folder"));
    EXPECT_EQ(ReadFileBytes(Game() / "linked-folder" / "inner.dat"), "from the server");
}

// A hard link planted at a listed file and at the temporary check list
// shares its bytes with a file outside the game: each entry is replaced by a
// file of its own, and the file outside keeps its bytes.
TEST_P(PlantedLinkE2E, AHardLinkIsReplacedNotWrittenThrough)
{
    SetUpGame();
    PutFile(Precious() / "save.dat", "must survive");
    fs::create_hard_link(Precious() / "save.dat", Game() / "hard.dat");
    fs::create_directories(Game() / "tarngamever");
    fs::create_hard_link(Precious() / "save.dat", Game() / "tarngamever" / "QELFilesInfo.dat.tmp");
    Client().Start();

    const qelsrv::SessionResult result = UpdateTo("hard.dat");
    EXPECT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_EQ(ReadFileBytes(Precious() / "save.dat"), "must survive");
    EXPECT_EQ(fs::hard_link_count(Precious() / "save.dat"), 1u);
    EXPECT_EQ(ReadFileBytes(Game() / "hard.dat"), "from the server");
}

// Requests that break the protocol end their own connection and nothing
// else: no reply, nothing removed or written, and the next task is served.
TEST_P(HostileE2E, MalformedAndOversizedRequestsEndOnlyTheirConnection)
{
    SetUpGame();
    Client().Start();
    const qelsrv::Endpoint client = Client().Endpoint();

    {
        SCOPED_TRACE("a delete request that announces a path of almost 2 GiB");
        auto task = qelsrv::TaskConnection::Connect(client.host, client.port);
        task.SendHeader(20001, 0x7ffffff0u);
        task.Send(std::as_bytes(std::span("D:\\Games\\Alpha", 14)));
        task.ExpectClosed();
    }
    {
        SCOPED_TRACE("update parameters cut short by the end of the stream");
        auto task = qelsrv::TaskConnection::Connect(client.host, client.port);
        const TaskParams params = UpdateParams("2.0", "D:\\Games\\Alpha\\");
        task.SendHeader(20000, sizeof params);
        task.Send(std::as_bytes(std::span(reinterpret_cast<const char*>(&params), 100)));
        task.FinishSending();
        task.ExpectClosed();
    }
    {
        SCOPED_TRACE("a header that is not the transport's");
        auto task = qelsrv::TaskConnection::Connect(client.host, client.port);
        task.Send(std::as_bytes(std::span("GET / HTTP/1.0\r\n\r\n", 18)));
        task.ExpectClosed();
    }
    {
        SCOPED_TRACE("a game path and a version that fill their fields without a terminator");
        ScriptedUpdate script;
        script.params = UpdateParams("2.0", "D:\\Games\\Alpha\\");
        std::memset(script.params.gamePath, 'A', sizeof script.params.gamePath);
        script.records = {FileRecord("\\x.txt", 1)};
        script.files = {{"\\x.txt", "x"}};
        const ScriptedOutcome badPath = RunScriptedUpdate(client, script);
        EXPECT_TRUE(badPath.requested.empty());
        EXPECT_FALSE(badPath.endOfTask.has_value());

        script.params = UpdateParams("2.0", "D:\\Games\\Alpha\\");
        std::memset(script.params.gameVersion, '9', sizeof script.params.gameVersion);
        const ScriptedOutcome badVersion = RunScriptedUpdate(client, script);
        EXPECT_TRUE(badVersion.requested.empty());
        EXPECT_FALSE(badVersion.endOfTask.has_value());
    }

    EXPECT_EQ(FilesOutsideTheGame(), std::vector<std::string>{});
    std::map<std::string, FileState> game = FilesBelow(Game());
    EXPECT_EQ(game.count("keep.txt"), 1u);
    EXPECT_EQ(game.count("x.txt"), 0u);
    EXPECT_EQ(ReadFileBytes(Game() / "tarnGameVer" / "tarnGameVer.txt"), "1.0");

    const qelsrv::DiskInfoResult info = qelsrv::RunDiskInfoTask(client);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.drives.size(), 2u);
}

// The connection ends halfway through the second of three files: the first
// is in place, the third never asked for, the new version not recorded and
// the temporary check list kept; the next update completes. The server ends
// its stream rather than resetting the connection, so that it sees the
// client close its end: only then has the failed task let go of the check
// list, which the next task rewrites (a mapped file cannot be emptied).
TEST_P(HostileE2E, ADroppedConnectionLeavesTheOldVersionUntilAnUpdateCompletes)
{
    SetUpGame();
    Client().Start();

    ScriptedUpdate script;
    script.params = UpdateParams("2.0", "D:\\Games\\Alpha\\");
    script.records = {FileRecord("\\1.bin", 0x90000), FileRecord("\\2.bin", 0x90000), FileRecord("\\3.bin", 0x90000)};
    script.files = {
        {"\\1.bin", Pattern(0x90000, 1)}, {"\\2.bin", Pattern(0x90000, 2)}, {"\\3.bin", Pattern(0x90000, 3)}};
    script.endInRequest = 1;
    const ScriptedOutcome dropped = RunScriptedUpdate(Client().Endpoint(), script);
    EXPECT_EQ(dropped.requested, (std::vector<std::string>{"\\1.bin", "\\2.bin"}));
    EXPECT_EQ(dropped.error, "") << "the client did not end the task";

    const std::string failedSecond = msg::DownloadFailedPrefix("\\2.bin");
    const auto hasFailureLine = [&](const std::vector<std::string>& messages) {
        for (const std::string& message : messages) {
            if (message.rfind(failedSecond, 0) == 0) {
                return true;
            }
        }
        return false;
    };
    // The task has ended: its last line, the failure, is in the log.
    EXPECT_TRUE(hasFailureLine(LogMessages(Client().ReadLog())));
    EXPECT_EQ(ReadFileBytes(Game() / "1.bin"), Pattern(0x90000, 1));
    EXPECT_FALSE(fs::exists(Game() / "3.bin"));
    // The new version is not recorded. (The game lies two levels deep, so the
    // local scan deleted what the list does not name, the old marker among
    // them: no version at all, and the next update runs whatever it brings.)
    EXPECT_FALSE(fs::exists(Game() / "tarnGameVer" / "tarnGameVer.txt"));
    EXPECT_TRUE(fs::exists(Game() / "tarnGameVer" / "QELFilesInfo.dat.tmp"));

    script.endInRequest = -1;
    const ScriptedOutcome completed = RunScriptedUpdate(Client().Endpoint(), script);
    EXPECT_TRUE(completed.endOfTask.has_value()) << completed.error;
    for (const char* name : {"1.bin", "2.bin", "3.bin"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ReadFileBytes(Game() / name), script.files.at(std::string("\\") + name));
    }
    EXPECT_EQ(ReadFileBytes(Game() / "tarnGameVer" / "tarnGameVer.txt"), "2.0");
}

QEL_E2E_IN_BOTH_WORLDS(HostileE2E);
QEL_E2E_IN_BOTH_WORLDS(PlantedLinkE2E);

} // namespace
} // namespace e2e
