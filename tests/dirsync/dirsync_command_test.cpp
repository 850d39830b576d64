// qelsrv dirsync against a client in this process: the folder reaches every
// drive that holds the directory with one transfer per file, and the exit
// status tells success (0), a failed client (1) and a refused command (2).
#include "DirSyncFixture.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

using namespace dstest;
namespace fs = std::filesystem;

namespace {

struct CommandRun {
    int status = -1;
    std::string output; // standard output and error
};

CommandRun RunQelsrv(const std::string& arguments)
{
    CommandRun run;
    const std::string command = std::string("'") + QEL_TEST_QELSRV + "' dirsync " + arguments + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        run.output.append(buffer, got);
    }
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class DirsyncCommand : public ::testing::Test {
protected:
    DirsyncCommand() : client(qek::WriteMode::Buffered) { fs::remove(DataFileHostPath()); }

    // Runs qelsrv against the client; the client's task has ended on return
    // when `tasksExpected` is set.
    CommandRun Run(const std::string& options, bool taskExpected = true)
    {
        const std::string clientAddress = "127.0.0.1:" + std::to_string(client.Port());
        CommandRun run = RunQelsrv(clientAddress + " --dir '" + ws.ServerFolder().string() + "' " + options);
        if (taskExpected) {
            EXPECT_TRUE(client.WaitForTasks(++tasks));
        }
        return run;
    }

    Workspace ws;
    SyncClient client;
    int tasks = 0;
};

} // namespace

TEST_F(DirsyncCommand, BringsTheDirectoryOnEveryDriveUpToDate)
{
    ws.PutServerFile("a.txt", "alpha");
    ws.PutServerFile("maps/m1.map", Pattern(100000, 1));
    ws.PutServerFile("maps/m2.map", Pattern(3000, 2));
    for (char letter : std::string_view("dfg")) {
        fs::create_directories(ws.Host(std::string(1, letter) + ":\\games\\x"));
    }

    const CommandRun run = Run("--base '\\games\\x' --task-id 55");

    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("sync \\games\\x\\ on every drive"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(": updated 3 files"), std::string::npos) << run.output;
    for (const char* root : {"g:\\games\\x\\", "d:\\games\\x\\", "f:\\games\\x\\"}) {
        EXPECT_EQ(ReadFile(ws.Host(std::string(root) + "a.txt")), "alpha") << root;
        EXPECT_EQ(ReadFile(ws.Host(std::string(root) + "maps\\m1.map")), Pattern(100000, 1)) << root;
        EXPECT_EQ(ReadFile(ws.Host(std::string(root) + "maps\\m2.map")), Pattern(3000, 2)) << root;
    }
    EXPECT_EQ(ws.LogMessages().back(), msg::TaskDone(3, 55, "g:\\games\\x\\"));

    // Run again: the client is current, nothing is sent.
    const CommandRun again = Run("--base '\\games\\x'");
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_NE(again.output.find(": updated 0 files"), std::string::npos) << again.output;
}

TEST_F(DirsyncCommand, ExcludesTheNamedDriveInEitherCaseAndSyncsASubPath)
{
    ws.PutServerFile("m.map", "map");
    fs::create_directories(ws.Host("d:\\games\\x"));
    fs::create_directories(ws.Host("e:\\games\\x"));

    const CommandRun run = Run("--base 'games\\x' --sub '\\maps\\' --exclude-drive E");

    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(ReadFile(ws.Host("d:\\games\\x\\maps\\m.map")), "map");
    EXPECT_TRUE(fs::is_empty(ws.Host("e:\\games\\x")));
}

TEST_F(DirsyncCommand, ADirectoryOnNoDriveIsNoFailure)
{
    ws.PutServerFile("a.txt", "alpha");

    const CommandRun run = Run("--base '\\games\\nowhere'");

    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("directory on no drive"), std::string::npos) << run.output;
}

TEST_F(DirsyncCommand, AFailedClientEndsWithStatus1)
{
    ws.PutServerFile("a.txt", "alpha");
    fs::create_directories(ws.Host("d:\\games\\x\\a.txt")); // a directory in the file's place

    const CommandRun run = Run("--base '\\games\\x'");

    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("1 of 1 clients failed"), std::string::npos) << run.output;
}

TEST_F(DirsyncCommand, RefusesWhatNoClientCouldSyncWithStatus2)
{
    ws.PutServerFile("a.txt", "alpha");
    for (const char* options :
         {"--base '\\games\\x' --sub 'maps'", "--base '\\games\\x' --sub '\\..\\'", "--base '\\'", "--base 'q:\\'",
          "--base '\\games\\*'", "--base '\\games\\x' --exclude-drive EE", "--base '\\games\\x' --exclude-drive 1"}) {
        const CommandRun run = Run(options, false);
        EXPECT_EQ(run.status, 2) << options << ": " << run.output;
    }
    const std::string longBase = "\\" + std::string(240, 'n');
    const CommandRun tooLong = Run("--base '" + longBase + "' --sub '\\" + std::string(20, 's') + "\\'", false);
    EXPECT_EQ(tooLong.status, 2) << tooLong.output;
    EXPECT_TRUE(ws.LogMessages().empty());
}
