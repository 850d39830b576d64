// Every file-system call of a delete-game fails once, in turn (EIO, ENOSPC):
// the task still answers, nothing outside the game's folders goes, and the
// next delete without a fault removes what is left.
#include "MaintenanceTestSupport.h"

#include <win32posix_faults.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace fs = std::filesystem;

namespace {

using mnttest::MaintenanceClient;
using mnttest::PutHostFile;
using mnttest::TestDrives;

struct Fault {
    const char* name;
    int error;
};

class DeleteGameFaultSweep : public ::testing::TestWithParam<Fault> {
protected:
    DeleteGameFaultSweep() : drives({{'C'}, {'D'}, {'E'}}, 'C') {}
    ~DeleteGameFaultSweep() override { Win32PosixSetFaultPlan(nullptr); }

    // The game on D and E, beside another game and a first-level folder of
    // the same name that must stay.
    void ResetDrives()
    {
        Win32PosixSetFaultPlan(nullptr);
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

    void SetPlan(long failCall)
    {
        // Both drives' folders lie below the parent of D's.
        const std::string folder = drives.Host(R"(D:\games)").parent_path().parent_path().string();
        const Win32PosixFaultPlan plan{folder.c_str(), failCall, GetParam().error, 0};
        Win32PosixSetFaultPlan(&plan);
    }

    TestDrives drives;
    MaintenanceClient client;
    int tasks = 0;
};

TEST_P(DeleteGameFaultSweep, AnswersAndRemovesNothingElse)
{
    ResetDrives();
    SetPlan(0);
    const qelsrv::DeleteGameResult clean = Delete();
    const long calls = Win32PosixFaultCalls();
    Win32PosixSetFaultPlan(nullptr);
    ASSERT_TRUE(clean.ok) << clean.error;
    ASSERT_FALSE(fs::exists(drives.Host(R"(D:\games\x)")));
    ASSERT_GT(calls, 0);

    for (long failCall = 1; failCall <= calls; ++failCall) {
        SCOPED_TRACE("fault at call " + std::to_string(failCall) + " of " + std::to_string(calls));
        ResetDrives();
        SetPlan(failCall);
        const qelsrv::DeleteGameResult result = Delete();
        Win32PosixSetFaultPlan(nullptr);
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_EQ(Outsiders(), "");

        const qelsrv::DeleteGameResult again = Delete();
        EXPECT_TRUE(again.ok) << again.error;
        EXPECT_FALSE(fs::exists(drives.Host(R"(D:\games\x)")));
        EXPECT_FALSE(fs::exists(drives.Host(R"(E:\games\x)")));
        EXPECT_EQ(Outsiders(), "");
        if (HasFailure())
            break; // one failing point at a time is enough to read
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DeleteGameFaultSweep,
                         ::testing::Values(Fault{"EIO", EIO}, Fault{"ENOSPC", ENOSPC}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
