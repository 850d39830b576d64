// Chinese names end to end, in both worlds at code page 936: the server's
// folder holds UTF-8 names, the server side sends them in GBK, and the
// client's drive ends up with the same UTF-8 names on the host. Among them
// are names whose GBK second byte is that of a backslash (淺 9C 5C, 運 DF 5C,
// 錦 E5 5C) or a bar (亅 81 7C), which the client must take as one character
// wherever it splits, compares or walks a path. The log keeps names in GBK.
#include "E2ESupport.h"

#include "checklist.h"
#include "client_codepage.h"
#include "dirsync_session.h"
#include "maintenance_tasks.h"
#include "update_session.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

constexpr uint64_t kOneSecond = 10000000; // FILETIME units

// `utf8` in the clients' code page, as the server side sends it.
std::string Gbk(const std::string& utf8)
{
    const std::optional<std::string> converted = qelsrv::ArgumentToClient(utf8, 936);
    EXPECT_TRUE(converted.has_value()) << utf8;
    return converted.value_or("");
}

class ChineseNamesE2E : public WorldTest {
protected:
    const std::string kGame = "网络游戏/阿尔法"; // below the drive's root

    fs::path ServerGame() const { return server_.Path() / "阿尔法"; }
    fs::path ClientGame() { return Client().Drive('D') / kGame; }
    std::string GamePath() { return Gbk("D:\\网络游戏\\阿尔法\\"); }

    void MakeServerGame()
    {
        PutFile(ServerGame() / "淺水.txt", "shallow water", kSomeTime + 1 * kOneSecond + 11);
        PutFile(ServerGame() / "運動" / "錦.dat", Pattern(0x80001, 2), kSomeTime + 2 * kOneSecond + 22);
        PutFile(ServerGame() / "乗" / "深淺" / "亅.bin", Pattern(3000, 3), kSomeTime + 3 * kOneSecond + 33);
        PutFile(ServerGame() / "游戏 abc.txt", "mixed", kSomeTime + 4 * kOneSecond);
        PutFile(ServerGame() / "ascii.txt", "plain", kSomeTime + 5 * kOneSecond);
        fs::create_directories(ServerGame() / "空目录");
    }

    qelsrv::SessionResult RunUpdate(const std::string& gamePath, const fs::path& serverFolder,
                                    const std::string& version, std::vector<std::string>* requested = nullptr)
    {
        const qelsrv::CheckList list = qelsrv::BuildCheckList(serverFolder);
        EXPECT_TRUE(list.ok());
        qelsrv::FileTaskSpec spec;
        std::string error;
        EXPECT_TRUE(qelsrv::MakeUpdateParams(7, version, gamePath, false, spec.params, error)) << error;
        return qelsrv::RunFileTaskSession(Client().Endpoint(), spec, list,
                                          [&](const qelsrv::SessionProgress& progress) {
                                              if (requested != nullptr && !progress.currentFile.empty()) {
                                                  requested->push_back(progress.currentFile);
                                              }
                                          });
    }

    TempFolder server_;
};

// The game arrives under its Chinese names, byte for byte as the server's
// folder names them; the same version is then declined, and a changed file
// travels alone.
TEST_P(ChineseNamesE2E, AGameWithChineseNamesIsInstalledFoundCurrentAndUpdatedFileByFile)
{
    Client().MapDrives({{'D'}});
    MakeServerGame();
    PutFile(ClientGame() / "淺水.txt", "shallow water", kSomeTime + 1 * kOneSecond + 11); // current
    PutFile(ClientGame() / "旧存档.sav", "unlisted: goes");
    PutFile(ClientGame() / "tarnGameVer" / "tarnGameVer.txt", "1.0");
    Client().Start();

    std::vector<std::string> requested;
    const qelsrv::SessionResult result = RunUpdate(GamePath(), ServerGame(), "2.0", &requested);
    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_EQ(result.filesDone, 4u);
    std::map<std::string, FileState> clientFiles = FilesBelow(ClientGame());
    EXPECT_EQ(clientFiles.erase("tarnGameVer/tarnGameVer.txt"), 1u);
    EXPECT_EQ(clientFiles, FilesBelow(ServerGame()));
    EXPECT_TRUE(fs::is_directory(ClientGame() / "空目录"));
    EXPECT_FALSE(fs::exists(ClientGame() / "旧存档.sav"));
    EXPECT_EQ(std::count(requested.begin(), requested.end(), Gbk("\\淺水.txt")), 0);
    const std::string done = msg::UpdateDone(4, 7, GamePath());
    EXPECT_EQ(CountMessage(MessagesOnceLogged(Client(), done), done), 1);

    const qelsrv::SessionResult again = RunUpdate(GamePath(), ServerGame(), "2.0");
    EXPECT_EQ(again.outcome, qelsrv::SessionOutcome::Declined) << again.error;
    const std::string agree = msg::VersionsAgree(GamePath(), "2.0");
    EXPECT_EQ(CountMessage(MessagesOnceLogged(Client(), agree), agree), 1);

    PutFile(ServerGame() / "運動" / "錦.dat", "changed", kSomeTime + 9 * kOneSecond);
    requested.clear();
    const qelsrv::SessionResult changed = RunUpdate(GamePath(), ServerGame(), "3.0", &requested);
    ASSERT_EQ(changed.outcome, qelsrv::SessionOutcome::Completed) << changed.error;
    EXPECT_EQ(requested, std::vector<std::string>{Gbk("\\運動\\錦.dat")});
    clientFiles = FilesBelow(ClientGame());
    clientFiles.erase("tarnGameVer/tarnGameVer.txt");
    EXPECT_EQ(clientFiles, FilesBelow(ServerGame()));
}

// A game one level below the drive's root, named with a backslash byte in
// its last character, is still one level deep: files the list does not name
// stay.
TEST_P(ChineseNamesE2E, AOneLevelGameKeepsItsUnlistedFiles)
{
    Client().MapDrives({{'D'}});
    PutFile(server_.Path() / "淺水" / "a.txt", "a", kSomeTime);
    const fs::path game = Client().Drive('D') / "淺水";
    PutFile(game / "玩家存档.sav", "the player's save");
    Client().Start();

    const qelsrv::SessionResult result = RunUpdate(Gbk("D:\\淺水\\"), server_.Path() / "淺水", "1.0");
    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_EQ(ReadFileBytes(game / "a.txt"), "a");
    EXPECT_EQ(ReadFileBytes(game / "玩家存档.sav"), "the player's save");
}

// Delete-game of Chinese paths on every drive but the system drive: a
// two-level path goes whole, with or without its closing backslash; the
// neighbours whose names begin with the same character stay; a one-level
// path is refused on every drive.
TEST_P(ChineseNamesE2E, DeleteGameRemovesExactlyTheNamedGame)
{
    Client().MapDrives({{'D'}, {'E'}});
    for (char letter : {'C', 'D', 'E'}) {
        const fs::path drive = Client().Drive(letter);
        PutFile(drive / "游戏" / "淺" / "x.txt", "the game");
        PutFile(drive / "游戏" / "淺" / "運" / "y.txt", "the game");
        PutFile(drive / "游戏" / "淺淺" / "keep.txt", "a neighbour");
        PutFile(drive / "游戏" / "深淺" / "z.txt", "the second game");
        PutFile(drive / "淺水" / "keep.txt", "a first-level folder");
    }
    Client().Start();

    for (const std::string path : {"D:\\游戏\\淺", "E:\\游戏\\深淺\\", "D:\\淺水"}) {
        SCOPED_TRACE(path);
        const qelsrv::DeleteGameResult result = qelsrv::RunDeleteGameTask(Client().Endpoint(), Gbk(path));
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.reply.resultCode, 1u);
    }
    for (char letter : {'D', 'E'}) {
        SCOPED_TRACE(letter);
        const fs::path drive = Client().Drive(letter);
        EXPECT_FALSE(fs::exists(drive / "游戏" / "淺"));
        EXPECT_FALSE(fs::exists(drive / "游戏" / "深淺"));
        EXPECT_EQ(ReadFileBytes(drive / "游戏" / "淺淺" / "keep.txt"), "a neighbour");
        EXPECT_EQ(ReadFileBytes(drive / "淺水" / "keep.txt"), "a first-level folder");
    }
    EXPECT_EQ(FilesBelow(Client().Drive('C') / "游戏").size(), 4u); // the system drive keeps everything
    const std::vector<std::string> messages = MessagesOnceLogged(Client(), msg::DeleteDone(1), 3);
    for (char letter : {'D', 'E'}) {
        const std::string onDrive = std::string(1, letter) + Gbk(":\\淺水");
        EXPECT_EQ(CountMessage(messages, msg::DeleteSkipsInvalidPath(onDrive)), 1);
    }
}

// A directory sync of a folder with a Chinese base path onto three drives:
// each drive ends up with the server's Chinese names, bytes and times.
TEST_P(ChineseNamesE2E, DirectorySyncOntoThreeDrives)
{
    Client().MapDrives({{'D'}, {'E'}, {'G'}});
    PutFile(server_.Path() / "淺水.txt", "shallow", kSomeTime + 1 * kOneSecond + 1);
    PutFile(server_.Path() / "運動" / "錦.dat", Pattern(5000, 5), kSomeTime + 2 * kOneSecond + 2);
    for (char letter : {'D', 'E', 'G'}) {
        fs::create_directories(Client().Drive(letter) / "游戏" / "同步");
    }
    Client().Start();

    const qelsrv::CheckList list = qelsrv::BuildCheckList(server_.Path());
    ASSERT_TRUE(list.ok());
    qelsrv::DirectorySyncOptions options;
    options.taskId = 31;
    options.basePath = Gbk("\\游戏\\同步");
    qelsrv::FileTaskSpec spec;
    std::string error;
    ASSERT_TRUE(qelsrv::MakeDirectorySyncSpec(options, spec, error)) << error;
    const qelsrv::SessionResult result = qelsrv::RunFileTaskSession(Client().Endpoint(), spec, list, {});
    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_EQ(result.filesServed, 2u);
    for (char letter : {'D', 'E', 'G'}) {
        SCOPED_TRACE(letter);
        EXPECT_EQ(FilesBelow(Client().Drive(letter) / "游戏" / "同步"), FilesBelow(server_.Path()));
    }
}

QEL_E2E_IN_BOTH_WORLDS(ChineseNamesE2E);

} // namespace
} // namespace e2e
