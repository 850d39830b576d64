// The delete game task end to end: the sending library as the server, the
// real transport, the handler, and drives mapped to temporary folders.
#include "MaintenanceTestSupport.h"
#include "PlantedLinks.h"

#include <gtest/gtest.h>

#include <cstring>

namespace fs = std::filesystem;

namespace {

using mnttest::LogOf;
using mnttest::MaintenanceClient;
using mnttest::PutHostFile;
using mnttest::TestDrives;
namespace msg = mnttest::msg;

std::string WithLetter(std::string path, char letter)
{
    if (path.empty()) {
        return std::string(1, letter);
    }
    path[0] = letter;
    return path;
}

class DeleteGameTaskTest : public ::testing::Test {
protected:
    void Use(const std::vector<mnttest::DriveSpec>& drives, char systemLetter)
    {
        drives_.reset(); // restores the environment before the next one sets it
        drives_ = std::make_unique<TestDrives>(drives, systemLetter);
    }
    TestDrives& Drives() { return *drives_; }

    // One task with `path` as its payload; waits for the handler to return.
    qelsrv::DeleteGameResult Delete(std::string_view path)
    {
        auto result = qelsrv::RunDeleteGameTask(client_.Endpoint(), path);
        EXPECT_TRUE(client_.WaitForTasks(++tasks_));
        return result;
    }
    bool Exists(std::string_view windowsPath) const { return fs::exists(drives_->Host(windowsPath)); }
    void PutGameOn(const std::string& letters)
    {
        for (char letter : letters) {
            PutHostFile(drives_->Host(std::string(1, letter) + R"(:\games\x\data\a.pak)"));
            PutHostFile(drives_->Host(std::string(1, letter) + R"(:\games\x\x.exe)"));
            PutHostFile(drives_->Host(std::string(1, letter) + R"(:\games\y\keep.txt)"));
            PutHostFile(drives_->Host(std::string(1, letter) + R"(:\x\first-level.txt)"));
        }
    }

    MaintenanceClient client_;
    std::unique_ptr<TestDrives> drives_;
    int tasks_ = 0;
};

void ExpectReplyAccepted(const qelsrv::DeleteGameResult& result)
{
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.reply.resultCode, 1u);
    EXPECT_EQ(result.reply.dataLength, 0u);
    EXPECT_EQ(result.reply.reserved0, 0u);
    EXPECT_EQ(result.reply.reserved1, 0u);
    EXPECT_EQ(result.reply.reserved3, 0u);
}

TEST_F(DeleteGameTaskTest, TableOfPaths)
{
    struct Case {
        const char* name;
        std::string path;
        bool removes;
    };
    const Case cases[] = {
        {"valid", R"(D:\games\x)", true},
        {"valid, other letter", R"(Q:\games\x)", true},
        {"one trailing backslash", R"(D:\games\x\)", true},
        {"two trailing backslashes", R"(D:\games\x\\)", true},
        {"first level", R"(E:\x)", false},
        {"empty name before the last", R"(D:\games\\x)", false},
        {"empty name after the root", R"(D:\\x)", false},
        {"512 bytes", R"(D:\games\)" + std::string(503, 'n'), false},
        {"no colon", R"(games\x\y)", false},
        {"drive-relative", R"(D:games\x\y)", false},
        {"climbs up", R"(D:\games\..)", false},
        {"empty payload", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Use({{'C'}, {'D'}, {'E'}}, 'C');
        PutGameOn("CDE");

        ExpectReplyAccepted(Delete(c.path));

        for (char letter : std::string("DE")) {
            EXPECT_EQ(Exists(std::string(1, letter) + R"(:\games\x)"), !c.removes) << letter;
            EXPECT_TRUE(Exists(std::string(1, letter) + R"(:\games\y\keep.txt)")) << letter;
            EXPECT_TRUE(Exists(std::string(1, letter) + R"(:\x\first-level.txt)")) << letter;
        }
        EXPECT_TRUE(Exists(R"(C:\games\x\x.exe)"));

        std::vector<std::string> log = {msg::DeleteStart(c.path)};
        if (!c.removes) {
            log.push_back(msg::DeleteSkip(WithLetter(c.path, 'D')));
            log.push_back(msg::DeleteSkip(WithLetter(c.path, 'E')));
        }
        log.push_back(msg::DeleteDone(1));
        EXPECT_EQ(Drives().MaskedLog(), LogOf(log));
    }
}

TEST_F(DeleteGameTaskTest, WindowsOnFSparesFAndEveryOtherDriveTypeIsVisited)
{
    // The path's own letter plays no part: F's copy stays even when the
    // server names F.
    for (const char* path : {R"(D:\games\x)", R"(F:\games\x)"}) {
        SCOPED_TRACE(path);
        Use({{'D'}, {'E', "cdrom"}, {'F'}}, 'F');
        PutGameOn("DEF");

        ExpectReplyAccepted(Delete(path));

        EXPECT_FALSE(Exists(R"(D:\games\x)"));
        EXPECT_FALSE(Exists(R"(E:\games\x)"));
        EXPECT_TRUE(Exists(R"(F:\games\x\data\a.pak)"));
        EXPECT_TRUE(Exists(R"(D:\games\y\keep.txt)"));
        EXPECT_EQ(Drives().MaskedLog(), LogOf({msg::DeleteStart(path), msg::DeleteDone(1)}));
    }
}

TEST_F(DeleteGameTaskTest, APathNamingAFileDeletesThatFile)
{
    Use({{'C'}, {'D'}, {'E'}}, 'C');
    PutHostFile(drives_->Host(R"(E:\games\x)"));
    ExpectReplyAccepted(Delete(R"(D:\games\x)"));
    EXPECT_FALSE(Exists(R"(E:\games\x)"));
}

TEST_F(DeleteGameTaskTest, ALinkInsideTheGameLeavesItsTargetAlone)
{
    Use({{'C'}, {'D'}}, 'C');
    PutGameOn("D");
    PutHostFile(Drives().Outside() / "saves" / "slot1.sav");
    fs::create_directory_symlink(Drives().Outside() / "saves", drives_->Host(R"(D:\games\x\data\saves)"));

    ExpectReplyAccepted(Delete(R"(D:\games\x)"));

    EXPECT_FALSE(Exists(R"(D:\games\x)"));
    EXPECT_TRUE(fs::exists(Drives().Outside() / "saves" / "slot1.sav"));
}

// Every component of the path is checked on each drive: a link there is
// followed (or, as the game folder itself, removed as a link) only when an
// administrator or the system made it. A drive where an ordinary user's link
// stands on the path is skipped with a log line, and nothing changes there or
// where the link leads; the other drives lose the game as always.
TEST_F(DeleteGameTaskTest, LinksOnThePathAreFollowedOnlyWhenAnAdministratorMadeThem)
{
    struct Case {
        const char* name;
        const char* link;        // on drive D, a folder link to the folder "outside"
        const char* targetHolds; // what "outside" holds of the path below the link
        uid_t owner;
        bool followed; // the game below the link goes; else the link is removed by itself (or kept)
    };
    const Case cases[] = {
        {"a user's link at the game folder", R"(D:\games\x)", "", plantedlinks::kOrdinaryUser, false},
        {"a user's link above the game folder", R"(D:\games)", "x", plantedlinks::kOrdinaryUser, false},
        {"an administrator's link at the game folder", R"(D:\games\x)", "", plantedlinks::kAdministrator, false},
        {"an administrator's link above the game folder", R"(D:\games)", "x", plantedlinks::kAdministrator, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Use({{'C'}, {'D'}, {'E'}}, 'C');
        PutGameOn("E");
        const fs::path target = Drives().Outside();
        PutHostFile(target / c.targetHolds / "data" / "a.pak");
        fs::create_directories(drives_->Host(c.link).parent_path());
        if (!plantedlinks::PlantFolderLink(target, drives_->Host(c.link), c.owner)) {
            GTEST_SKIP() << "a link can be given to another owner only by root";
        }
        const auto before = plantedlinks::TreeOf(target);

        ExpectReplyAccepted(Delete(R"(D:\games\x)"));

        EXPECT_FALSE(Exists(R"(E:\games\x)"));
        std::vector<std::string> log = {msg::DeleteStart(R"(D:\games\x)")};
        if (c.owner == plantedlinks::kOrdinaryUser) {
            EXPECT_TRUE(fs::is_symlink(drives_->Host(c.link)));
            EXPECT_EQ(plantedlinks::TreeOf(target), before);
            log.push_back(msg::DeleteSkipUntrustedLink(R"(D:\games\x)", c.link));
        } else if (c.followed) {
            EXPECT_FALSE(fs::exists(target / c.targetHolds));
        } else {
            EXPECT_FALSE(fs::is_symlink(drives_->Host(c.link))); // removed as a link
            EXPECT_EQ(plantedlinks::TreeOf(target), before);
        }
        log.push_back(msg::DeleteDone(1));
        EXPECT_EQ(Drives().MaskedLog(), LogOf(log));
    }
}

TEST_F(DeleteGameTaskTest, APayloadAboveTheBoundIsRefusedUnreadAndUnanswered)
{
    Use({{'C'}, {'D'}}, 'C');
    PutGameOn("D");

    auto task = qelsrv::TaskConnection::Connect("127.0.0.1", client_.Port());
    task.SetTimeout(std::chrono::seconds(60));
    task.SendHeader(20001, 65537);
    EXPECT_THROW(task.ReceiveReply(), qelsrv::TransferError);
    ASSERT_TRUE(client_.WaitForTasks(++tasks_));

    EXPECT_TRUE(Exists(R"(D:\games\x\x.exe)"));
    EXPECT_EQ(Drives().MaskedLog(), LogOf({msg::DeleteRequestTooLong(65537)}));
}

TEST_F(DeleteGameTaskTest, APayloadAtTheBoundIsReadWhole)
{
    Use({{'C'}, {'D'}}, 'C');
    PutGameOn("D");
    std::string payload(65536, '\0');
    std::memcpy(payload.data(), R"(D:\games\x)", 10);

    auto task = qelsrv::TaskConnection::Connect("127.0.0.1", client_.Port());
    task.SetTimeout(std::chrono::seconds(60));
    task.StartTask(20001, std::as_bytes(std::span(payload.data(), payload.size())));
    EXPECT_EQ(task.ReceiveReply().resultCode, 1u);
    ASSERT_TRUE(client_.WaitForTasks(++tasks_));

    EXPECT_FALSE(Exists(R"(D:\games\x)"));
    EXPECT_EQ(Drives().MaskedLog(), LogOf({msg::DeleteStart(R"(D:\games\x)"), msg::DeleteDone(1)}));
}

TEST_F(DeleteGameTaskTest, APayloadCutShortEndsTheTaskWithoutReply)
{
    Use({{'C'}, {'D'}}, 'C');
    PutGameOn("D");

    auto task = qelsrv::TaskConnection::Connect("127.0.0.1", client_.Port());
    task.SetTimeout(std::chrono::seconds(60));
    task.SendHeader(20001, 20);
    const char part[] = R"(D:\gam)";
    task.Send(std::as_bytes(std::span(part, 6)));
    task.FinishSending();
    EXPECT_NO_THROW(task.ExpectClosed());
    ASSERT_TRUE(client_.WaitForTasks(++tasks_));

    EXPECT_TRUE(Exists(R"(D:\games\x\x.exe)"));
    EXPECT_EQ(Drives().MaskedLog(), LogOf({msg::DeleteReceiveFailed(RAVELNET_E_CLOSED)}));
}

} // namespace
