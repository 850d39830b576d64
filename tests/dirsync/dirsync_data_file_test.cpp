// The data file is held by one task at a time: a task behind another waits
// for it, says so in the log, and gives up after a bounded wait.
#include "DirSyncFixture.h"

#include "dirsync/DirectorySyncTask.h"

#include <gtest/gtest.h>

#include <future>

using namespace qek;

using namespace dstest;

namespace {

TEST(SyncDataFile, ASecondHolderWaitsSaysSoAndGivesUpAfterTheLimit)
{
    Workspace ws;
    const std::string path = "X:\\Data\\qelsyncfiles_dst.dat";
    auto first = HoldSyncDataFile(path.c_str(), std::chrono::milliseconds(0));
    ASSERT_TRUE(first.owns_lock());
    EXPECT_TRUE(ws.LogMessages().empty()) << "no wait, no line";

    auto second = std::async(std::launch::async,
                             [&] { return HoldSyncDataFile(path.c_str(), std::chrono::milliseconds(50)).owns_lock(); });
    EXPECT_FALSE(second.get());
    EXPECT_EQ(ws.LogMessages(),
              (std::vector<std::string>{msg::WaitingForDataFile(path), msg::GaveUpWaitingForDataFile(path)}));

    // Once the first lets go, the next holder takes it at once.
    first.unlock();
    EXPECT_TRUE(HoldSyncDataFile(path.c_str(), std::chrono::milliseconds(0)).owns_lock());
    EXPECT_EQ(ws.LogMessages().size(), 2u);
}

} // namespace
