// The game update against the installed client, in both worlds and in both
// write modes, with the server's side from the sending library: the game on
// the client's drive ends up with the server's bytes, sizes and times, only
// what differs travels, unlisted files go, the version is recorded and the
// same version is then declined.
#include "E2ESupport.h"

#include "checklist.h"
#include "update_session.h"

#include <algorithm>

namespace fs = std::filesystem;

namespace e2e {
namespace {

constexpr uint64_t kOneSecond = 10000000; // FILETIME units

class UpdateE2E : public WorldAndModeTest {
protected:
    void SetUp() override
    {
        WorldAndModeTest::SetUp();
        if (client_) {
            client_->MapDrives({{'D'}});
        }
    }

    fs::path ServerGame() const { return server_.Path() / "Alpha"; }
    fs::path ClientGame() { return Client().Drive('D') / "Games" / "Alpha"; }

    qelsrv::SessionResult RunUpdate(const std::string& version, std::vector<std::string>* requested = nullptr)
    {
        const qelsrv::CheckList list = qelsrv::BuildCheckList(ServerGame());
        EXPECT_TRUE(list.ok());
        qelsrv::FileTaskSpec spec;
        std::string error;
        EXPECT_TRUE(qelsrv::MakeUpdateParams(7, version, "D:\\Games\\Alpha\\", false, spec.params, error)) << error;
        return qelsrv::RunFileTaskSession(Client().Endpoint(), spec, list,
                                          [&](const qelsrv::SessionProgress& progress) {
                                              if (requested != nullptr && !progress.currentFile.empty()) {
                                                  requested->push_back(progress.currentFile);
                                              }
                                          });
    }

    TempFolder server_;
};

// Sizes around the 512 KiB chunk, an empty file, a few MiB, a deep folder
// and an empty one; names whose byte order differs from their letter order.
TEST_P(UpdateE2E, BringsTheGameToTheServersContentThenDeclinesTheSameVersion)
{
    const std::vector<std::pair<std::string, uint64_t>> served = {
        {"empty.bin", 0},
        {"one.bin", 1},
        {"chunk.bin", 0x80000},
        {"chunk-plus-one.bin", 0x80001},
        {"big.bin", (3u << 20) + 7},
        {"Zeta.txt", 10},
        {"maps/deep/level.map", 4096},
        {"changed.dat", 100},
    };
    uint32_t seed = 1;
    for (const auto& [name, size] : served) {
        PutFile(ServerGame() / name, Pattern(size, seed), kSomeTime + seed * kOneSecond + 1234567);
        ++seed;
    }
    fs::create_directories(ServerGame() / "maps" / "empty");
    PutFile(ServerGame() / "current.dat", Pattern(300, 99), kSomeTime + 5);

    // The client has the game at version 1.0: one file current, one that
    // differs from the server's only by one 100-ns unit of its time, one the
    // server does not list.
    PutFile(ClientGame() / "current.dat", Pattern(300, 99), kSomeTime + 5);
    PutFile(ClientGame() / "changed.dat", Pattern(100, 8), kSomeTime + 8 * kOneSecond + 1234567 - 1);
    PutFile(ClientGame() / "stale.txt", "not on the server");
    PutFile(ClientGame() / "tarnGameVer" / "tarnGameVer.txt", "1.0");
    Client().Start();

    std::vector<std::string> requested;
    const qelsrv::SessionResult result = RunUpdate("2.0", &requested);
    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_EQ(result.replyCode, 1u);
    // One request per file in unsigned byte order of the names, but none for
    // the empty file, which the client makes by itself.
    EXPECT_EQ(result.filesServed, served.size() - 1);
    EXPECT_EQ(result.filesDone, served.size());
    const std::vector<std::string> expectedOrder = {
        "\\Zeta.txt", "\\big.bin", "\\changed.dat", "\\chunk-plus-one.bin", "\\chunk.bin", "\\maps\\deep\\level.map",
        "\\one.bin"};
    EXPECT_EQ(requested, expectedOrder);

    // Every listed file with the server's bytes, size and time; the unlisted
    // file gone; the empty folder made; the new version recorded.
    std::map<std::string, FileState> clientFiles = FilesBelow(ClientGame());
    EXPECT_EQ(clientFiles.erase("tarnGameVer/tarnGameVer.txt"), 1u);
    EXPECT_EQ(clientFiles, FilesBelow(ServerGame()));
    EXPECT_FALSE(fs::exists(ClientGame() / "stale.txt"));
    EXPECT_TRUE(fs::is_directory(ClientGame() / "maps" / "empty"));
    EXPECT_EQ(ReadFileBytes(ClientGame() / "tarnGameVer" / "tarnGameVer.txt"), "2.0");
    EXPECT_FALSE(fs::exists(ClientGame() / "tarnGameVer" / "QELFilesInfo.dat.tmp"));

    const std::string done = msg::UpdateDone(static_cast<int>(served.size()), 7, "D:\\Games\\Alpha\\");
    const std::vector<std::string> messages = MessagesOnceLogged(Client(), done);
    EXPECT_EQ(CountMessage(messages, done), 1);
    // Only the unbuffered mode reports each file it wrote, by its local path:
    // the game path and the listed name joined as they are ("\\" between).
    for (const auto& [name, size] : served) {
        std::string windowsName = name;
        std::replace(windowsName.begin(), windowsName.end(), '/', '\\');
        SCOPED_TRACE(windowsName);
        EXPECT_EQ(CountMessage(messages,
                               msg::Downloaded("D:\\Games\\Alpha\\\\" + windowsName, 0, static_cast<uint32_t>(size))),
                  Mode().unbuffered ? 1 : 0);
    }

    // The same version again: declined, nothing requested.
    const qelsrv::SessionResult again = RunUpdate("2.0");
    EXPECT_EQ(again.outcome, qelsrv::SessionOutcome::Declined) << again.error;
    EXPECT_EQ(again.replyCode, 110020u);
    const std::string agree = msg::VersionsAgree("D:\\Games\\Alpha\\", "2.0");
    EXPECT_EQ(CountMessage(MessagesOnceLogged(Client(), agree), agree), 1);
}

QEL_E2E_IN_BOTH_WORLDS_AND_MODES(UpdateE2E);

} // namespace
} // namespace e2e
