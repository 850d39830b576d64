// Disk info and delete game against the installed client, in both worlds,
// with the server's side from the sending library.
#include "E2ESupport.h"

#include "maintenance_tasks.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

class DiskInfoE2E : public WorldTest { };

// C (the system drive), D and F are fixed; E is an optical drive, G a network
// drive and H a removable one: only C, D and F are reported, in letter order,
// each with its volume's size and free space.
TEST_P(DiskInfoE2E, ReportsEveryFixedDriveWithItsVolumeSpace)
{
    Client().MapDrives({{'D'}, {'E', DriveKind::Cdrom}, {'F'}, {'G', DriveKind::Remote}, {'H', DriveKind::Removable}});
    Client().Start();

    const VolumeSpace before = SpaceOf(Client().Drive('D'));
    const qelsrv::DiskInfoResult result = qelsrv::RunDiskInfoTask(Client().Endpoint());
    const VolumeSpace after = SpaceOf(Client().Drive('D'));

    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.reply.resultCode, 1u);
    EXPECT_EQ(result.reply.dataLength, 3 * qelsrv::kDiskInfoRecordSize);
    ASSERT_EQ(result.drives.size(), 3u);
    const char letters[] = {'C', 'D', 'F'};
    // Free space moves while other programs write: it must lie within what the
    // volume had free just before and just after the task, give or take.
    constexpr uint64_t kSlack = 256ull << 20;
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(letters[i]);
        const qelsrv::DriveSpace& drive = result.drives[i];
        EXPECT_EQ(drive.letter, letters[i]);
        const VolumeSpace volume = SpaceOf(Client().Drive(letters[i]));
        EXPECT_EQ(drive.totalBytes, volume.total);
        EXPECT_GE(drive.freeBytes + kSlack, std::min(before.free, after.free));
        EXPECT_LE(drive.freeBytes, std::max(before.free, after.free) + kSlack);
    }
    EXPECT_EQ(CountMessage(MessagesOnceLogged(Client(), msg::DiskInfoDone()), msg::DiskInfoDone()), 1);
}

class DeleteGameE2E : public WorldTest {
protected:
    // The same game on C (the system drive) and on D, E (optical) and F.
    void SetUpGame()
    {
        Client().MapDrives({{'D'}, {'E', DriveKind::Cdrom}, {'F'}});
        for (char letter : {'C', 'D', 'E', 'F'}) {
            const fs::path game = Client().Drive(letter) / "games" / "x";
            PutFile(game / "game.exe", Pattern(1000, 1));
            PutFile(game / "data" / "maps" / "level1.map", Pattern(70000, 2));
            fs::create_directories(game / "data" / "empty");
            PutFile(Client().Drive(letter) / "games" / "other" / "keep.txt", "another game");
        }
    }

    bool GameExists(char letter) { return fs::exists(Client().Drive(letter) / "games" / "x"); }
};

// Every drive but the system drive loses the game, whatever its type and
// whatever drive letter the request names; the folder above it stays.
TEST_P(DeleteGameE2E, RemovesTheGameFromEveryDriveButTheSystemDrive)
{
    SetUpGame();
    Client().Start();

    const qelsrv::DeleteGameResult result = qelsrv::RunDeleteGameTask(Client().Endpoint(), "F:\\games\\x\\");
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.reply.resultCode, 1u);
    EXPECT_EQ(result.reply.dataLength, 0u);

    EXPECT_TRUE(GameExists('C'));
    EXPECT_EQ(FilesBelow(Client().Drive('C') / "games" / "x").size(), 2u);
    for (char letter : {'D', 'E', 'F'}) {
        SCOPED_TRACE(letter);
        EXPECT_FALSE(GameExists(letter));
        EXPECT_TRUE(fs::exists(Client().Drive(letter) / "games" / "other" / "keep.txt"));
    }
    const std::vector<std::string> messages = MessagesOnceLogged(Client(), msg::DeleteDone(1));
    EXPECT_EQ(CountMessage(messages, msg::DeleteStart("F:\\games\\x\\")), 1);
    EXPECT_EQ(CountMessage(messages, msg::DeleteDone(1)), 1);
}

// Paths less than two levels below a drive's root, or not of the form of a
// drive letter and a colon, are refused on every drive: nothing is removed
// and the reply still carries 1.
TEST_P(DeleteGameE2E, RefusesPathsThatAreNotTwoLevelsBelowADriveRoot)
{
    SetUpGame();
    PutFile(Client().Drive('D') / "x" / "top.txt", "a first-level folder");
    Client().Start();

    struct RefusedPath {
        std::string path;
        bool skipLinePerDrive; // refused by the second-level rule, one line per drive
    };
    const RefusedPath refused[] = {
        {"E:\\x", true},
        {"D:\\games\\\\x", true},
        {"D:\\\\x", true},
        {"D:x", true},
        {"\\games\\x", false},                           // no drive letter and colon
        {"D:\\games\\x" + std::string(520, 'y'), false}, // longer than the check's buffer
        {"", false},
    };
    for (const RefusedPath& each : refused) {
        SCOPED_TRACE(each.path);
        const qelsrv::DeleteGameResult result = qelsrv::RunDeleteGameTask(Client().Endpoint(), each.path);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.reply.resultCode, 1u);
    }
    for (char letter : {'C', 'D', 'E', 'F'}) {
        SCOPED_TRACE(letter);
        EXPECT_EQ(FilesBelow(Client().Drive(letter) / "games").size(), 3u);
    }
    EXPECT_TRUE(fs::exists(Client().Drive('D') / "x" / "top.txt"));

    const std::vector<std::string> messages =
        MessagesOnceLogged(Client(), msg::DeleteDone(1), static_cast<int>(std::size(refused)));
    for (const RefusedPath& each : refused) {
        if (each.skipLinePerDrive) {
            SCOPED_TRACE(each.path);
            for (char letter : {'D', 'E', 'F'}) {
                const std::string onDrive = std::string(1, letter) + each.path.substr(1);
                EXPECT_EQ(CountMessage(messages, msg::DeleteSkipsInvalidPath(onDrive)), 1);
            }
        }
    }
}

// A read-only file stays with every folder above it inside the game; a
// read-only empty folder goes; a link inside the game to a folder outside it
// is removed as a link, and the folder it points to keeps all its files.
TEST_P(DeleteGameE2E, KeepsReadOnlyFilesAndNeverFollowsALink)
{
    Client().MapDrives({{'D'}});
    const fs::path game = Client().Drive('D') / "games" / "x";
    PutFile(game / "locked" / "deeper" / "readonly.dat", "kept");
    PutFile(game / "locked" / "deeper" / "other.dat", "removed");
    PutFile(game / "plain.txt", "removed");
    fs::create_directories(game / "readonly-empty");
    fs::permissions(game / "locked" / "deeper" / "readonly.dat",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    fs::permissions(game / "readonly-empty", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    const fs::path outside = Client().Drive('D') / "precious";
    PutFile(outside / "save.dat", "must survive");
    PutFile(outside / "sub" / "more.dat", "must survive too");
    fs::create_directory_symlink(outside, game / "link-to-precious");
    Client().Start();

    const qelsrv::DeleteGameResult result = qelsrv::RunDeleteGameTask(Client().Endpoint(), "D:\\games\\x");
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.reply.resultCode, 1u);

    EXPECT_TRUE(fs::exists(game / "locked" / "deeper" / "readonly.dat"));
    EXPECT_FALSE(fs::exists(game / "locked" / "deeper" / "other.dat"));
    EXPECT_FALSE(fs::exists(game / "plain.txt"));
    EXPECT_FALSE(fs::exists(game / "readonly-empty"));
    if (GetParam() == World::Wine) {
        // Wine 8 lists a Unix symbolic link with the reparse-point attribute,
        // but its RemoveDirectoryA acts on the link's target (and fails with
        // ERROR_DIR_NOT_EMPTY here), so under Wine the link itself stays;
        // Windows removes a directory link with RemoveDirectoryA. What
        // matters holds in both worlds: the link is never followed.
        EXPECT_TRUE(fs::is_symlink(game / "link-to-precious"));
    } else {
        EXPECT_FALSE(fs::exists(fs::symlink_status(game / "link-to-precious")));
    }
    EXPECT_EQ(ReadFileBytes(outside / "save.dat"), "must survive");
    EXPECT_EQ(ReadFileBytes(outside / "sub" / "more.dat"), "must survive too");
}

// A link to a file inside the game goes; the file it points to stays.
TEST_P(DeleteGameE2E, RemovesAFileLinkNotTheFileItPointsTo)
{
    if (GetParam() == World::Wine) {
        GTEST_SKIP() << kWineFileLinkLimit;
    }
    Client().MapDrives({{'D'}});
    const fs::path game = Client().Drive('D') / "games" / "x";
    PutFile(game / "game.exe", "removed");
    PutFile(Client().Drive('D') / "precious.dat", "must survive");
    fs::create_symlink(Client().Drive('D') / "precious.dat", game / "link.dat");
    Client().Start();

    const qelsrv::DeleteGameResult result = qelsrv::RunDeleteGameTask(Client().Endpoint(), "D:\\games\\x");
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_FALSE(fs::exists(fs::symlink_status(game)));
    EXPECT_EQ(ReadFileBytes(Client().Drive('D') / "precious.dat"), "must survive");
}

QEL_E2E_IN_BOTH_WORLDS(DiskInfoE2E);
QEL_E2E_IN_BOTH_WORLDS(DeleteGameE2E);

} // namespace
} // namespace e2e
