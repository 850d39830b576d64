// Connections that have not sent their whole header yet: they hold no task
// place, they are bounded per address and in all, the oldest of the busiest
// address makes room for a newcomer, and refusals are reported once a minute.
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace ravelnet_test;

namespace {

void ReplyOk(RavelnetConnection connection, const RavelnetTaskHeader&)
{
    ReplyWords reply = MakeReply(1, 0);
    RavelnetReply(connection, &reply);
}

void ExpectServed(const TestServer& server, const std::string& from = "127.0.0.1")
{
    auto task = server.Connect(from);
    task.SendHeader(20002, 0);
    EXPECT_EQ(task.ReceiveReply().resultCode, 1u);
    task.ExpectClosed();
}

// 127.0.<third>.<fourth>: every one of them is this machine.
std::string Loopback(int third, int fourth)
{
    return "127.0." + std::to_string(third) + "." + std::to_string(fourth);
}

// Opens a connection that says nothing and waits until the server counts it
// among those waiting for a header, so that the server's order is ours.
qelsrv::TaskConnection OpenSilent(const TestServer& server, const std::string& from)
{
    const uint32_t before = server.Stats().waitingForHeader;
    auto peer = server.Connect(from);
    EXPECT_TRUE(server.WaitForStats(
        [&](const RavelnetServerStats& stats) { return stats.waitingForHeader > before || stats.crowdedOut > 0; }));
    return peer;
}

TEST(RavelnetHeaderPhase, SilentPeersTakeNoTaskPlace)
{
    TestServer server(ReplyOk);
    ASSERT_TRUE(server.Opened());
    // More silent peers than task places, at most 8 from each address.
    std::vector<qelsrv::TaskConnection> silent;
    for (int address = 2; address < 2 + 13; ++address)
        for (int i = 0; i < 8; ++i)
            silent.push_back(server.Connect(Loopback(0, address)));
    ASSERT_TRUE(server.WaitForStats([](const RavelnetServerStats& stats) { return stats.waitingForHeader == 104; }));
    ExpectServed(server);
    RavelnetServerStats stats = server.Stats();
    EXPECT_EQ(stats.tasksStarted, 1u);
    EXPECT_EQ(stats.crowdedOut, 0u);
    EXPECT_EQ(stats.waitingForHeader, 104u);
}

TEST(RavelnetHeaderPhase, NinthFromOneAddressClosesItsOldest)
{
    TestServer server(ReplyOk);
    ASSERT_TRUE(server.Opened());
    std::vector<qelsrv::TaskConnection> peers;
    for (int i = 0; i < 9; ++i)
        peers.push_back(OpenSilent(server, "127.0.0.2"));
    peers.front().ExpectClosed();
    ASSERT_TRUE(server.WaitForStats([](const RavelnetServerStats& stats) { return stats.waitingForHeader == 8; }));
    EXPECT_EQ(server.Stats().crowdedOut, 1u);
    // The others are still read: the second one's header makes it a task.
    peers[1].SendHeader(20002, 0);
    EXPECT_EQ(peers[1].ReceiveReply().resultCode, 1u);
}

TEST(RavelnetHeaderPhase, FullRoomClosesTheOldestOfTheBusiestAddress)
{
    TestServer server(ReplyOk);
    ASSERT_TRUE(server.Opened());
    // 248 quiet addresses with one connection each, then one address with 8:
    // the room holds 256.
    std::vector<qelsrv::TaskConnection> singles;
    for (int i = 0; i < 248; ++i)
        singles.push_back(OpenSilent(server, Loopback(1, i)));
    std::vector<qelsrv::TaskConnection> busy;
    for (int i = 0; i < 8; ++i)
        busy.push_back(OpenSilent(server, "127.0.0.9"));
    ASSERT_TRUE(server.WaitForStats([](const RavelnetServerStats& stats) { return stats.waitingForHeader == 256; }));

    // A newcomer from a quiet address is read: the busiest address's oldest
    // connection made room, not the oldest connection of all.
    auto newcomer = server.Connect("127.0.0.1");
    busy.front().ExpectClosed();
    newcomer.SendHeader(20002, 0);
    EXPECT_EQ(newcomer.ReceiveReply().resultCode, 1u);
    EXPECT_EQ(server.Stats().crowdedOut, 1u);
    singles.front().SendHeader(20002, 0);
    EXPECT_EQ(singles.front().ReceiveReply().resultCode, 1u);
}

TEST(RavelnetHeaderPhase, RefusalsAreWrittenOncePerAddressAndReason)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine sends the debugger output to its own debug channel";
    const std::filesystem::path output =
        std::filesystem::temp_directory_path() /
        ("ravelnet-refusals-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".txt");
    std::filesystem::remove(output);
    ScopedEnvironment debugOutput("QEL_DEBUG_OUTPUT", output.string());
    ScopedEnvironment allow("RAVELNET_ALLOW", "127.0.0.1,127.0.0.3");
    {
        // The default header time-out: a header sent just after the connect
        // is never late, however loaded the machine.
        TestServer server(ReplyOk);
        ASSERT_TRUE(server.Opened());
        for (int round = 0; round < 2; ++round) {
            server.Connect("127.0.0.2").ExpectClosed(); // outside the allow list
            auto wrongMagic = server.Connect("127.0.0.1");
            wrongMagic.Send(std::vector<std::byte>(16, std::byte{0x41}));
            wrongMagic.ExpectClosed();
        }
        EXPECT_EQ(server.Stats().notAllowed, 2u);
        EXPECT_EQ(server.Stats().wrongMagic, 2u);
    }
    {
        ScopedEnvironment headerTimeout("RAVELNET_HEADER_TIMEOUT_MS", "100");
        TestServer server(ReplyOk);
        ASSERT_TRUE(server.Opened());
        for (int round = 0; round < 2; ++round)
            server.Connect("127.0.0.3").ExpectClosed(); // silent past the header time-out
        EXPECT_EQ(server.Stats().headerTimeouts, 2u);
    }

    std::ifstream file(output);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    std::filesystem::remove(output);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Ravelnet: refused 127.0.0.2: not in the allow list (RAVELNET_ALLOW)",
                         "Ravelnet: refused 127.0.0.1: its header has no task magic",
                         "Ravelnet: refused 127.0.0.3: no task header within the header time-out",
                     }));
}

} // namespace
