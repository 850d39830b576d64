// The test support's child processes: a child never outlives the test that
// started it, however the test ends.
#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

namespace {

using qeltest::ChildProcess;
using qeltest::ProcessOptions;

constexpr const char* kHelperVariable = "QEL_CHILD_PROCESS_TEST_HELPER";

// Whether process `pid` is gone (or a zombie nobody has reaped yet).
bool ProcessEnded(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, name, state;
    return !(status >> pidText >> name >> state) || state == "Z" || state == "X";
}

// Run as its own process by the test below: starts a long child from a
// thread that ends at once, tells the child's pid and then crashes.
TEST(ChildProcessHelper, StartsAChildAndCrashes)
{
    if (std::getenv(kHelperVariable) == nullptr) {
        GTEST_SKIP() << "run by ChildProcess.DiesWithATestThatCrashes";
    }
    std::unique_ptr<ChildProcess> child;
    std::thread([&child] {
        ProcessOptions options;
        options.arguments = {"sleep", "600"};
        child = std::make_unique<ChildProcess>(options);
    }).join();
    std::cout << "child " << child->Pid() << std::endl;
    std::abort();
}

TEST(ChildProcess, DiesWithATestThatCrashes)
{
    ProcessOptions options;
    options.arguments = {std::filesystem::read_symlink("/proc/self/exe").string(),
                         "--gtest_filter=ChildProcessHelper.StartsAChildAndCrashes"};
    options.environment[kHelperVariable] = "1";
    ChildProcess crashing(options);
    pid_t orphan = -1;
    while (auto line = crashing.ReadLine()) {
        if (line->rfind("child ", 0) == 0) {
            orphan = std::stoi(line->substr(6));
        }
    }
    EXPECT_NE(crashing.Wait(), 0);
    ASSERT_GT(orphan, 0) << "the helper did not start its child";
    // The helper is gone: its child gets SIGKILL from the kernel. A minute
    // at most: a guard against a child that is never ended.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!ProcessEnded(orphan) && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(ProcessEnded(orphan)) << "the child " << orphan << " outlived its test";
}

TEST(ChildProcess, LivesAsLongAsItsObjectWhateverThreadStartedIt)
{
    std::unique_ptr<ChildProcess> child;
    std::thread([&child] {
        ProcessOptions options;
        options.arguments = {"cat"};
        options.inputPipe = true;
        child = std::make_unique<ChildProcess>(options);
    }).join();
    // The thread that asked for the child has ended; the child still runs.
    child->WriteLine("still here");
    EXPECT_EQ(child->ReadLine(), "still here");
    child->CloseInput();
    EXPECT_EQ(child->Wait(), 0);
}

TEST(ChildProcess, AProgramThatCannotStartIsReported)
{
    ProcessOptions options;
    options.arguments = {"qel-no-such-program"};
    EXPECT_THROW(ChildProcess child(options), std::runtime_error);
}

} // namespace
