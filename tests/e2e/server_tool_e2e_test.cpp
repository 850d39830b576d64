// The other direction: the server tool of the Windows build, qelsrv.exe,
// under Wine (its sending side on Wine's Winsock, its check list read through
// Wine's file system) drives the Linux client over loopback.
#include "E2ESupport.h"

#include <nlohmann/json.hpp>

#include <set>

namespace fs = std::filesystem;

namespace e2e {
namespace {

constexpr uint64_t kOneSecond = 10000000; // FILETIME units

class WindowsServerToolE2E : public testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = ClientWorld::Unavailable(World::Wine)) {
            GTEST_SKIP() << *reason;
        }
        if (!fs::exists(fs::path(QEL_E2E_WINDOWS_BIN) / "qelsrv.exe")) {
            GTEST_SKIP() << "the 64-bit Windows build has no qelsrv.exe: build the mingw64 preset";
        }
    }
};

TEST_F(WindowsServerToolE2E, UpdatesAndAsksTheLinuxClient)
{
    WinePrograms wine;
    const fs::path game = wine.DriveC() / "srv" / "Alpha";
    std::error_code ignored;
    fs::remove_all(game.parent_path(), ignored);
    PutFile(game / "big.bin", Pattern(0x180001, 1), kSomeTime + kOneSecond + 1);
    PutFile(game / "maps" / "level.map", Pattern(5000, 2), kSomeTime + 2 * kOneSecond + 2);
    PutFile(game / "empty.txt", "", kSomeTime + 3 * kOneSecond + 3);

    auto client = ClientWorld::Create(World::Linux);
    client->MapDrives({{'D'}});
    client->Start();
    const std::string endpoint = "127.0.0.1:" + std::to_string(client->Endpoint().port);
    const fs::path clientGame = client->Drive('D') / "Games" / "Alpha";

    const CommandResult update = wine.Run({"C:\\QEL\\bin\\qelsrv.exe", "update", endpoint, "--game", "C:\\srv\\Alpha",
                                           "--path", "D:\\Games\\Alpha\\", "--version", "3.1", "--task-id", "9"});
    EXPECT_EQ(update.exitStatus, 0) << update.output;
    std::map<std::string, FileState> files = FilesBelow(clientGame);
    // The task makes the marker's folder as "tarngamever"; the marker's own
    // path names it "tarnGameVer", which is the same folder to Windows.
    EXPECT_EQ(files.erase("tarngamever/tarnGameVer.txt"), 1u);
    EXPECT_EQ(files, FilesBelow(game));
    EXPECT_EQ(ReadFileBytes(clientGame / "tarngamever" / "tarnGameVer.txt"), "3.1");

    const CommandResult again = wine.Run({"C:\\QEL\\bin\\qelsrv.exe", "update", endpoint, "--game", "C:\\srv\\Alpha",
                                          "--path", "D:\\Games\\Alpha\\", "--version", "3.1"});
    EXPECT_EQ(again.exitStatus, 0) << again.output;
    EXPECT_NE(again.output.find("already current"), std::string::npos) << again.output;

    const CommandResult diskInfo = wine.Run({"C:\\QEL\\bin\\qelsrv.exe", "diskinfo", endpoint, "--json"});
    ASSERT_EQ(diskInfo.exitStatus, 0) << diskInfo.output;
    const auto document = nlohmann::json::parse(diskInfo.output, nullptr, false);
    ASSERT_TRUE(document.is_object() && document.contains("clients")) << diskInfo.output;
    const auto& clients = document["clients"];
    ASSERT_TRUE(clients.is_array() && clients.size() == 1) << diskInfo.output;
    EXPECT_EQ(clients[0].value("ok", false), true) << diskInfo.output;
    std::set<std::string> letters;
    for (const auto& drive : clients[0].value("drives", nlohmann::json::array())) {
        letters.insert(drive.value("drive", ""));
    }
    EXPECT_EQ(letters, (std::set<std::string>{"C", "D"}));

    EXPECT_EQ(client->StopWithCtrlC(), 0);
    fs::remove_all(game.parent_path(), ignored);
}

} // namespace
} // namespace e2e
