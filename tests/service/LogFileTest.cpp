// The log file: line format, opening, appending, the missing directory and
// the retry, the lock under many threads, the message buffer's limit.
#include "ExpectedLog.h"

#include "base/LogFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

using namespace qek;

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The layer takes "\abs\path" as the host path "/abs/path".
std::string WindowsPath(const fs::path& path)
{
    std::string text = path.string();
    for (char& c : text) {
        if (c == '/') {
            c = '\\';
        }
    }
    return text;
}

class LogFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "qel-log-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    std::shared_ptr<LogFile> MakeLog(const fs::path& path)
    {
        auto log = std::make_shared<LogFile>("QELCltCore.exe");
        log->SetPath(WindowsPath(path).c_str());
        return log;
    }

    fs::path root_;
};

TEST_F(LogFileTest, FirstMessageCreatesTheFileWithOneTimeStampedLine)
{
    const fs::path path = root_ / "qeclt.log";
    auto log = MakeLog(path);
    EXPECT_FALSE(fs::exists(path)); // opened by the first line, not before

    Log(log, "plain %s %d", "text", -7);
    const std::string bytes = ReadFile(path);
    EXPECT_TRUE(std::regex_match(
        bytes, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} QELCltCore\.exe: plain text -7\r\n)")))
        << bytes;
}

TEST_F(LogFileTest, MessageIsWrittenAsGbkBytesWithItsValue)
{
    const fs::path path = root_ / "qeclt.log";
    auto log = MakeLog(path);
    const std::string format = expected::kDeleteGameDoneFormatStart + "%d)";
    Log(log, format.c_str(), 1);
    EXPECT_EQ(expected::MaskTimeStamps(ReadFile(path)),
              expected::Lines({expected::kModulePrefix + expected::kDeleteGameDoneFormatStart + "1)"}));
}

TEST_F(LogFileTest, AppendsToAnExistingFile)
{
    const fs::path path = root_ / "qeclt.log";
    std::ofstream(path, std::ios::binary) << "earlier content\r\n";
    auto log = MakeLog(path);
    Log(log, "first");
    Log(log, "second");
    EXPECT_EQ(expected::MaskTimeStamps(ReadFile(path)),
              "earlier content\r\n" + expected::Lines({"QELCltCore.exe: first", "QELCltCore.exe: second"}));
}

TEST_F(LogFileTest, TwoWritersOfOneFileNeverOverwriteEachOther)
{
    const fs::path path = root_ / "qeclt.log";
    auto first = MakeLog(path);
    auto second = MakeLog(path);
    Log(first, "one");
    Log(second, "two"); // opens the file after "one" was written
    Log(first, "three");
    EXPECT_EQ(expected::MaskTimeStamps(ReadFile(path)),
              expected::Lines({"QELCltCore.exe: one", "QELCltCore.exe: two", "QELCltCore.exe: three"}));
}

TEST_F(LogFileTest, MissingDirectoryWritesNothingUntilItExists)
{
    const fs::path directory = root_ / "log";
    const fs::path path = directory / "qeclt.log";
    auto log = MakeLog(path);

    Log(log, "lost");
    EXPECT_FALSE(fs::exists(directory)); // the writer never creates the directory

    fs::create_directory(directory);
    Log(log, "kept");
    EXPECT_EQ(expected::MaskTimeStamps(ReadFile(path)), expected::Lines({"QELCltCore.exe: kept"}));
}

TEST_F(LogFileTest, WithoutPathOrLogNothingIsWritten)
{
    LogFile log("QELCltCore.exe");
    log.Write("text", 4); // no path: nothing, and no crash
    log.WriteLine("text", 4);
    Log(std::shared_ptr<LogFile>{}, "no log %d", 1);
    EXPECT_TRUE(fs::is_empty(root_));
}

TEST_F(LogFileTest, CarriageReturnLineFeedTextLeavesALineWithTheTimeStampOnly)
{
    const fs::path path = root_ / "qeclt.log";
    auto log = MakeLog(path);
    log->Write("\r\n", 2);
    EXPECT_EQ(expected::MaskTimeStamps(ReadFile(path)), expected::kClosingLines);
}

TEST_F(LogFileTest, NewPathClosesTheOldFileAndWritesToTheNewOne)
{
    auto log = MakeLog(root_ / "a.log");
    Log(log, "into a");
    log->SetPath(WindowsPath(root_ / "b.log").c_str());
    Log(log, "into b");
    EXPECT_EQ(expected::MaskTimeStamps(ReadFile(root_ / "a.log")), expected::Lines({"QELCltCore.exe: into a"}));
    EXPECT_EQ(expected::MaskTimeStamps(ReadFile(root_ / "b.log")), expected::Lines({"QELCltCore.exe: into b"}));
}

TEST_F(LogFileTest, LongMessageIsCutToTheBufferAtACharacterBoundary)
{
    const fs::path path = root_ / "qeclt.log";
    auto log = MakeLog(path);
    // 16 bytes of prefix, then two ASCII bytes and two-byte GBK characters
    // ("\xc9\xbe"): the text buffer's last byte would split a character.
    std::string message = "xy";
    while (message.size() < 1100) {
        message += "\xc9\xbe";
    }
    Log(log, "%s", message.c_str());

    const std::string masked = expected::MaskTimeStamps(ReadFile(path));
    const std::string text = masked.substr(2, masked.size() - 4); // "T " ... "\r\n"
    EXPECT_EQ(text.size(), 1022u);                                // 16 + 2 + 2 * 502, one byte short of the buffer
    EXPECT_EQ(text, "QELCltCore.exe: " + message.substr(0, 2 + 2 * 502));
}

TEST_F(LogFileTest, ConcurrentMessagesNeverShareALine)
{
    const fs::path path = root_ / "qeclt.log";
    auto log = MakeLog(path);
    constexpr int kThreads = 8;
    constexpr int kLinesEach = 200;

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kLinesEach; ++i) {
                Log(log, "thread %d line %d with some text to widen the window", t, i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    const std::string masked = expected::MaskTimeStamps(ReadFile(path));
    std::istringstream lines(masked);
    std::set<std::pair<int, int>> seen;
    const std::regex pattern(R"(T QELCltCore\.exe: thread (\d+) line (\d+) with some text to widen the window\r)");
    std::string line;
    while (std::getline(lines, line)) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, pattern)) << line;
        EXPECT_TRUE(seen.emplace(std::stoi(match[1]), std::stoi(match[2])).second) << line;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLinesEach));
}

TEST_F(LogFileTest, ALineInFlightKeepsTheLogAliveAfterTheModuleLetsItGo)
{
    const fs::path path = root_ / "qeclt.log";
    SetModuleLog(MakeLog(path));
    const std::shared_ptr<LogFile> held = ModuleLog();
    SetModuleLog(nullptr);
    EXPECT_EQ(ModuleLog(), nullptr);

    Log(held, "still written");
    Log(ModuleLog(), "dropped");
    EXPECT_EQ(expected::MaskTimeStamps(ReadFile(path)), expected::Lines({"QELCltCore.exe: still written"}));
}

} // namespace
