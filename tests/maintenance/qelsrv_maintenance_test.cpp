// qelsrv diskinfo and qelsrv delete as an operator runs them: the tool in its
// own process against a client in this one.
#include "MaintenanceTestSupport.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

namespace fs = std::filesystem;

namespace {

using mnttest::MaintenanceClient;
using mnttest::PutHostFile;
using mnttest::TestDrives;

struct ToolRun {
    int status = -1;
    std::string output; // standard output only
};

// Runs qelsrv with `arguments` (already quoted for the shell).
ToolRun Qelsrv(const std::string& arguments)
{
    ToolRun run;
    const std::string command = std::string("'") + QEL_TEST_QELSRV + "' " + arguments + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    size_t read = 0;
    while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.output.append(buffer, read);
    }
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class QelsrvMaintenance : public ::testing::Test {
protected:
    TestDrives drives{{{'C'}, {'D'}, {'E', "cdrom"}, {'F'}}, 'C'};
    MaintenanceClient client;
    std::string Client() const { return client.Endpoint().Label(); }
};

TEST_F(QelsrvMaintenance, DiskInfoPrintsATablePerClient)
{
    const ToolRun run = Qelsrv("diskinfo " + Client());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.rfind(Client() + "\n  drive ", 0), 0u) << run.output;
    EXPECT_NE(run.output.find("\n  C: "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\n  D: "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\n  F: "), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("E:"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("iB"), std::string::npos) << run.output;
}

TEST_F(QelsrvMaintenance, DiskInfoJsonReportsTheUnreachableClientAndFails)
{
    const ToolRun run = Qelsrv("diskinfo " + Client() + " 127.0.0.1:1 --json");
    EXPECT_EQ(run.status, 1);
    const nlohmann::json document = nlohmann::json::parse(run.output);
    const nlohmann::json& json = document["clients"];
    ASSERT_EQ(json.size(), 2u);
    EXPECT_EQ(json[0]["ok"], true);
    EXPECT_EQ(json[0]["drives"].size(), 3u);
    EXPECT_EQ(json[1]["client"], "127.0.0.1:1");
    EXPECT_EQ(json[1]["ok"], false);
    EXPECT_EQ(json[1]["result"], "unreachable");
    EXPECT_EQ(document["totals"]["unreachable"], 1);
}

TEST_F(QelsrvMaintenance, DeleteRemovesTheGameAndPrintsTheReply)
{
    PutHostFile(drives.Host(R"(D:\games\x\x.exe)"));
    PutHostFile(drives.Host(R"(F:\games\x\x.exe)"));
    PutHostFile(drives.Host(R"(C:\games\x\x.exe)"));

    const ToolRun run = Qelsrv("delete " + Client() + R"( --path 'D:\games\x')");
    EXPECT_EQ(run.status, 0) << run.output;
    // The client's line, then the summary.
    EXPECT_EQ(run.output.rfind(Client() + ": done (reply 1)\n\nclient ", 0), 0u) << run.output;
    EXPECT_NE(run.output.find("\ntotal: 1 client, 1 ok, 0 failed, 0 unreachable"), std::string::npos) << run.output;
    ASSERT_TRUE(client.WaitForTasks(1));
    EXPECT_FALSE(fs::exists(drives.Host(R"(D:\games\x)")));
    EXPECT_FALSE(fs::exists(drives.Host(R"(F:\games\x)")));
    EXPECT_TRUE(fs::exists(drives.Host(R"(C:\games\x\x.exe)")));
}

TEST_F(QelsrvMaintenance, DeleteGoesOnPastAnUnreachableClient)
{
    PutHostFile(drives.Host(R"(D:\games\x\x.exe)"));
    const ToolRun run = Qelsrv("delete 127.0.0.1:1 " + Client() + R"( --path 'D:\games\x')");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output.rfind("127.0.0.1:1: failed: ", 0), 0u) << run.output;
    EXPECT_NE(run.output.find("\n" + Client() + ": done (reply 1)\n"), std::string::npos) << run.output;
    ASSERT_TRUE(client.WaitForTasks(1));
    EXPECT_FALSE(fs::exists(drives.Host(R"(D:\games\x)")));
}

TEST_F(QelsrvMaintenance, DeleteRefusesAPathTheClientsWouldSkip)
{
    PutHostFile(drives.Host(R"(D:\x\x.exe)"));
    const ToolRun run = Qelsrv("delete " + Client() + R"( --path 'D:\x')");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.output, "");
    EXPECT_TRUE(fs::exists(drives.Host(R"(D:\x\x.exe)")));
}

TEST_F(QelsrvMaintenance, EveryCommandHasHelp)
{
    for (const char* command : {"diskinfo", "delete"}) {
        const ToolRun run = Qelsrv(std::string(command) + " --help");
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_NE(run.output.find("HOST[:PORT]"), std::string::npos) << run.output;
    }
    EXPECT_NE(Qelsrv("diskinfo --help").output.find("--json"), std::string::npos);
    EXPECT_NE(Qelsrv("delete --help").output.find("--path"), std::string::npos);
    EXPECT_NE(Qelsrv("delete " + Client()).status, 0); // --path is required
}

} // namespace
