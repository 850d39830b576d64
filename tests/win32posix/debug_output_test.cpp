// OutputDebugStringA writes to the file in QEL_DEBUG_OUTPUT, one write per
// call, so lines from many threads stay whole.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class DebugOutput : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qel-debug-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override
    {
        unsetenv("QEL_DEBUG_OUTPUT");
        for (const char* name : {"/a.txt", "/b.txt"})
            unlink((folder_ + name).c_str());
        rmdir(folder_.c_str());
    }
    std::string Read(const char* name)
    {
        std::ifstream file(folder_ + name, std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        return content.str();
    }
    std::string folder_;
};

TEST_F(DebugOutput, AppendsTextAsGivenAndFollowsTheVariable)
{
    unsetenv("QEL_DEBUG_OUTPUT");
    OutputDebugStringA("discarded\n");
    setenv("QEL_DEBUG_OUTPUT", (folder_ + "/a.txt").c_str(), 1);
    OutputDebugStringA("QELCltCore.exe: \xc6\xf4\xb6\xaf"); // GBK bytes, no line end added
    OutputDebugStringA("\n");
    OutputDebugStringA("");
    OutputDebugStringA(nullptr);
    setenv("QEL_DEBUG_OUTPUT", (folder_ + "/b.txt").c_str(), 1);
    OutputDebugStringA("\r\n");
    setenv("QEL_DEBUG_OUTPUT", (folder_ + "/a.txt").c_str(), 1);
    OutputDebugStringA("again\n");
    EXPECT_EQ(Read("/a.txt"), "QELCltCore.exe: \xc6\xf4\xb6\xaf\nagain\n");
    EXPECT_EQ(Read("/b.txt"), "\r\n");
}

TEST_F(DebugOutput, LinesFromManyThreadsStayWhole)
{
    setenv("QEL_DEBUG_OUTPUT", (folder_ + "/a.txt").c_str(), 1);
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                const std::string line = "thread " + std::to_string(t) + " line " + std::to_string(i) +
                                         std::string(size_t(100 + i % 50), '.') + "\n";
                OutputDebugStringA(line.c_str());
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    std::istringstream content(Read("/a.txt"));
    std::set<std::string> seen;
    std::string line;
    while (std::getline(content, line))
        seen.insert(line);
    ASSERT_EQ(seen.size(), size_t(kThreads * kLines));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            const std::string expected =
                "thread " + std::to_string(t) + " line " + std::to_string(i) + std::string(size_t(100 + i % 50), '.');
            EXPECT_EQ(seen.count(expected), 1u) << expected;
        }
    }
}

TEST_F(DebugOutput, LeavesTheLastErrorAlone)
{
    setenv("QEL_DEBUG_OUTPUT", (folder_ + "/missing-folder/x.txt").c_str(), 1);
    SetLastError(ERROR_MORE_DATA);
    OutputDebugStringA("nowhere to go\n");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
}

} // namespace
