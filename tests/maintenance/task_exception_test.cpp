// A task that throws ends alone: its handler catches the exception, logs it
// with the task's type, closes the connection, and the service goes on
// serving. The allocation fails on purpose: this test program replaces the
// global operator new with one that can be told to fail, on one thread,
// once.
#include "MaintenanceTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

namespace fs = std::filesystem;

namespace {

thread_local bool failNextAllocation = false;

} // namespace

void* operator new(std::size_t size)
{
    if (failNextAllocation) {
        failNextAllocation = false;
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace {

using mnttest::LogOf;
using mnttest::MaintenanceClient;
using mnttest::PutHostFile;
using mnttest::TestDrives;
namespace msg = mnttest::msg;

TEST(TaskException, EndsTheTaskWithALogLineAndTheServiceGoesOn)
{
    TestDrives drives({{'C'}, {'D'}}, 'C');
    PutHostFile(drives.Host(R"(D:\games\x\x.exe)"));
    MaintenanceClient client;
    // The delete handler's first allocation (the buffer of the game path)
    // fails on the task's own thread.
    client.BeforeHandler([](RavelnetConnection) { failNextAllocation = true; });
    const qelsrv::DeleteGameResult failed = qelsrv::RunDeleteGameTask(client.Endpoint(), R"(D:\games\x)");
    ASSERT_TRUE(client.WaitForTasks(1));
    EXPECT_FALSE(failed.ok) << "the connection ends without a reply";
    EXPECT_TRUE(fs::exists(drives.Host(R"(D:\games\x\x.exe)")));
    EXPECT_EQ(drives.MaskedLog(), LogOf({msg::TaskEndedByException(20001, "std::bad_alloc")}));

    // The next tasks are served as usual.
    client.BeforeHandler(nullptr);
    EXPECT_TRUE(qelsrv::RunDiskInfoTask(client.Endpoint()).ok);
    const qelsrv::DeleteGameResult deleted = qelsrv::RunDeleteGameTask(client.Endpoint(), R"(D:\games\x)");
    ASSERT_TRUE(client.WaitForTasks(3));
    EXPECT_TRUE(deleted.ok) << deleted.error;
    EXPECT_FALSE(fs::exists(drives.Host(R"(D:\games\x)")));
}

} // namespace
