// Every file-system call of a delete-game fails once, in turn (EIO, ENOSPC):
// the task still answers, nothing outside the game's folders goes, and the
// next delete without a fault removes what is left. And a player's swap of a
// folder for a link, just before each removal, removes nothing outside.
#include "MaintenanceTestSupport.h"

#include "FaultSweep.h"
#include "FolderSwap.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

using mnttest::MaintenanceClient;
using mnttest::PutHostFile;
using mnttest::TestDrives;

using faultsweep::Fault;

// The game on D and E, and the client that deletes it.
class DeleteGameWorld {
protected:
    DeleteGameWorld() : drives({{'C'}, {'D'}, {'E'}}, 'C') { }

    // The game on D and E, beside another game and a first-level folder of
    // the same name that must stay.
    void ResetDrives()
    {
        for (const char* letter : {"D", "E"}) {
            const std::string drive = std::string(letter) + ":";
            fs::remove_all(drives.Host(drive + R"(\games)"));
            PutHostFile(drives.Host(drive + R"(\games\x\data\a.pak)"));
            PutHostFile(drives.Host(drive + R"(\games\x\data\deep\b.pak)"));
            PutHostFile(drives.Host(drive + R"(\games\x\x.exe)"));
            PutHostFile(drives.Host(drive + R"(\games\y\keep.txt)"));
            PutHostFile(drives.Host(drive + R"(\x\first-level.txt)"));
        }
    }

    qelsrv::DeleteGameResult Delete()
    {
        logBefore = drives.MaskedLog().size();
        auto result = qelsrv::RunDeleteGameTask(client.Endpoint(), R"(D:\games\x)");
        EXPECT_TRUE(client.WaitForTasks(++tasks));
        return result;
    }

    std::string Outsiders() const
    {
        for (const char* letter : {"D", "E"}) {
            const std::string drive = std::string(letter) + ":";
            for (const std::string& path : {drive + R"(\games\y\keep.txt)", drive + R"(\x\first-level.txt)"})
                if (!fs::exists(drives.Host(path)))
                    return path + " is gone";
        }
        return "";
    }

    TestDrives drives;
    MaintenanceClient client;
    int tasks = 0;
    size_t logBefore = 0; // the length of the log before the last delete
};

class DeleteGameFaultSweep : public ::testing::TestWithParam<Fault>, protected DeleteGameWorld { };

TEST_P(DeleteGameFaultSweep, AnswersAndRemovesNothingElse)
{
    const auto remove = [&] { return Delete(); };
    const auto check = [&](const qelsrv::DeleteGameResult& result, long failCall) {
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_EQ(Outsiders(), "");
        const bool partLeft = fs::exists(drives.Host(R"(D:\games\x)")) || fs::exists(drives.Host(R"(E:\games\x)"));
        if (partLeft) {
            EXPECT_TRUE(faultsweep::NamesAFailure({drives.MaskedLog().substr(logBefore)}, 0))
                << "a game left without a word";
        }
        if (failCall != 0) {
            EXPECT_TRUE(Delete().ok) << "a clean delete afterwards";
        }
        EXPECT_FALSE(fs::exists(drives.Host(R"(D:\games\x)")));
        EXPECT_FALSE(fs::exists(drives.Host(R"(E:\games\x)")));
    };
    // Both drives' folders lie below the parent of D's.
    faultsweep::SweepEveryCall(
        drives.Host(R"(D:\games)").parent_path().parent_path().string(), GetParam(), [&] { ResetDrives(); }, remove,
        check);
}

INSTANTIATE_TEST_SUITE_P(Cases, DeleteGameFaultSweep, ::testing::Values(faultsweep::kIoError, faultsweep::kDiskFull),
                         [](const auto& info) { return std::string(info.param.name); });

class DeleteGameSwapSweep : public ::testing::Test, protected DeleteGameWorld { };

// Before each removal of a delete-game (every file and folder of the game on
// both drives; the player chose their names): the task answers, nothing
// outside goes, and the next delete removes what is left.
TEST_F(DeleteGameSwapSweep, NothingIsRemovedThroughASwappedFolder)
{
    if (!folderswap::CanSwap()) {
        GTEST_SKIP() << "a link can be given to another owner only by root";
    }
    const fs::path allDrives = drives.Host(R"(D:\games)").parent_path().parent_path();
    const auto remove = [&] { return Delete(); };
    const auto check = [&](const qelsrv::DeleteGameResult& result, long) {
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_EQ(Outsiders(), "");
        EXPECT_TRUE(Delete().ok) << "a clean delete afterwards";
        EXPECT_FALSE(fs::exists(drives.Host(R"(D:\games\x)")));
        EXPECT_FALSE(fs::exists(drives.Host(R"(E:\games\x)")));
    };
    folderswap::SwapBeforeEveryChange(
        allDrives, WIN32POSIX_REMOVALS, allDrives / "victim", [&] { ResetDrives(); }, remove, check);
}

} // namespace
