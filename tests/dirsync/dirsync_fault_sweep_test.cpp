// Every file-system call of a directory sync onto three drives fails once,
// in turn (EIO, ENOSPC, a short write): a sync reported complete has every
// file right on one drive and no broken file on any, and the next sync
// without a fault completes the same way. And a player's swap of a folder for
// a link, just before each creation and each removal of a sync, carries
// nothing out of the drives.
#include "DirSyncFixture.h"

#include "FaultSweep.h"
#include "FolderSwap.h"

#include <gtest/gtest.h>

using namespace dstest;
namespace fs = std::filesystem;

namespace {

const std::string kBase = "\\games\\x";

using faultsweep::Fault;

const std::vector<std::pair<std::string, std::string>>& ServedFiles()
{
    static const std::vector<std::pair<std::string, std::string>> files = {
        {"a.txt", "alpha\r\n"},
        {"bin/b.dat", Pattern(70000, 1)},
        {"bin/deep/c.bin", Pattern(0x80001, 2)},
        {"zero.txt", ""},
    };
    return files;
}

// The world of the sweeps: the served files, \games\x on three drives, a
// client in one write mode.
class SyncSweepWorld {
protected:
    explicit SyncSweepWorld(qek::WriteMode mode) : client(mode)
    {
        for (const auto& [name, content] : ServedFiles())
            ws.PutServerFile(name, content);
    }

    // \games\x on d, e and g; d holds an older a.txt.
    void ResetDrives()
    {
        for (char letter : std::string_view("deg")) {
            fs::remove_all(ws.DriveFolder(letter) / "games");
            fs::create_directories(ws.DriveFolder(letter) / "games" / "x");
        }
        PutFile(ws.DriveFolder('d') / "games" / "x" / "a.txt", "an older alpha");
    }

    qelsrv::SessionResult Sync()
    {
        logBefore = ws.LogMessages().size();
        qelsrv::SessionResult result = RunSync(client.Port(), ws.ServerFolder(), SyncParams(kBase));
        EXPECT_TRUE(client.WaitForTasks(++tasks)) << "the task did not end";
        return result;
    }

    // What is wrong ("" when nothing is): one drive (the primary, the last
    // that the client found holding the folder) has every file right; on the
    // others a file may also still be as it was before the sync (a drive whose
    // folder could not be looked at takes no part, and copies are made of
    // fetched files only) or gone (a copy that failed is removed, as a failed
    // CopyFile's is), but never anything else, such as part of a file.
    std::string Difference() const
    {
        bool someDriveRight = false;
        for (char letter : std::string_view("deg")) {
            bool allRight = true;
            for (const auto& [name, content] : ServedFiles()) {
                const fs::path local = ws.DriveFolder(letter) / "games" / "x" / name;
                const bool right =
                    ReadFile(local) == content && FileTimeOf(local) == FileTimeOf(ws.ServerFolder() / name);
                allRight = allRight && right;
                if (!right && !AsBeforeOrGone(letter, name, local))
                    return local.string() + " is neither the server's nor as it was";
            }
            someDriveRight = someDriveRight || allRight;
        }
        return someDriveRight ? "" : "no drive has every file right";
    }

    static bool AsBeforeOrGone(char letter, const std::string& name, const fs::path& local)
    {
        if (!fs::exists(local))
            return true;
        return letter == 'd' && name == "a.txt" && ReadFile(local) == std::optional<std::string>("an older alpha");
    }

    Workspace ws;
    SyncClient client;
    int tasks = 0;
    size_t logBefore = 0; // the log's messages before the last sync
};

class DirSyncFaultSweep : public ::testing::TestWithParam<faultsweep::WriteModeAndFault>, protected SyncSweepWorld {
protected:
    DirSyncFaultSweep() : SyncSweepWorld(std::get<0>(GetParam())) { }
};

TEST_P(DirSyncFaultSweep, NoFaultIsReportedAsACompleteSync)
{
    const auto sync = [&] { return Sync(); };
    const auto check = [&](const qelsrv::SessionResult& result, long failCall) {
        if (failCall == 0) {
            ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
            ASSERT_EQ(Difference(), "");
            return;
        }
        if (result.outcome == qelsrv::SessionOutcome::Completed) {
            EXPECT_EQ(Difference(), "") << "reported complete with a wrong file";
        } else {
            EXPECT_TRUE(faultsweep::NamesAFailure(ws.LogMessages(), logBefore)) << "failed without a word";
        }
        const qelsrv::SessionResult repair = Sync();
        EXPECT_EQ(repair.outcome, qelsrv::SessionOutcome::Completed) << repair.error;
        EXPECT_EQ(Difference(), "");
    };
    // Every drive's folder lies below the workspace's.
    faultsweep::SweepEveryCall(
        ws.DriveFolder('c').parent_path().string(), std::get<1>(GetParam()), [&] { ResetDrives(); }, sync, check);
}

INSTANTIATE_TEST_SUITE_P(Cases, DirSyncFaultSweep, faultsweep::EveryWriteModeAndFault(),
                         faultsweep::WriteModeAndFaultName);

class DirSyncSwapSweep : public ::testing::TestWithParam<qek::WriteMode>, protected SyncSweepWorld {
protected:
    DirSyncSwapSweep() : SyncSweepWorld(GetParam()) { }
};

// Before each creation (the data file, the folders, the files, their copies)
// and each removal (the data file): the sync finishes in the folders it
// checked or fails with a word, and the next sync leaves a drive right.
TEST_P(DirSyncSwapSweep, NothingIsWrittenOrRemovedThroughASwappedFolder)
{
    if (!folderswap::CanSwap()) {
        GTEST_SKIP() << "a link can be given to another owner only by root";
    }
    const fs::path drives = ws.DriveFolder('c').parent_path();
    const auto sync = [&] { return Sync(); };
    const auto check = [&](const qelsrv::SessionResult& result, long) {
        if (result.outcome != qelsrv::SessionOutcome::Completed) {
            EXPECT_TRUE(faultsweep::NamesAFailure(ws.LogMessages(), logBefore)) << "failed without a word";
        }
        const qelsrv::SessionResult repair = Sync();
        EXPECT_EQ(repair.outcome, qelsrv::SessionOutcome::Completed) << repair.error;
        EXPECT_EQ(Difference(), "");
    };
    folderswap::SwapBeforeEveryChange(
        drives, WIN32POSIX_CREATIONS | WIN32POSIX_REMOVALS, drives / "victim", [&] { ResetDrives(); }, sync, check);
}

INSTANTIATE_TEST_SUITE_P(WriteModes, DirSyncSwapSweep, qeltest::EveryWriteMode(),
                         [](const auto& info) { return qeltest::WriteModeName(info); });

} // namespace
