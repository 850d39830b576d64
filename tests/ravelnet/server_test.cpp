// The task server as a whole: tasks side by side up to the bound, ports and
// the environment's port, several servers, closing.
#include "test_support.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace ravelnet_test;
using qelsrv::TransferError;
using qelsrv::TransferErrorKind;

namespace {

void ReplyOk(RavelnetConnection connection, const RavelnetTaskHeader&)
{
    ReplyWords reply = MakeReply(1, 0);
    RavelnetReply(connection, &reply);
}

// Tasks that hold their callback until released.
class Gate {
public:
    void Enter()
    {
        std::unique_lock lock(mutex_);
        ++inside_;
        changed_.notify_all();
        changed_.wait_for(lock, kPatience, [this] { return open_; });
    }
    bool WaitForInside(int count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return inside_ >= count; });
    }
    int Inside()
    {
        std::lock_guard lock(mutex_);
        return inside_;
    }
    void Open()
    {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int inside_ = 0;
    bool open_ = false;
};

TEST(RavelnetConcurrency, SixtyFourTasksRunAtOnceAndTheNextIsClosed)
{
    Gate gate;
    TestServer server([&](RavelnetConnection connection, const RavelnetTaskHeader& header) {
        gate.Enter();
        ReplyWords reply = MakeReply(1, header.sequence);
        RavelnetReply(connection, &reply);
    });
    ASSERT_TRUE(server.Opened());
    std::vector<qelsrv::TaskConnection> tasks;
    for (uint32_t i = 0; i < 64; ++i) {
        tasks.push_back(server.Connect());
        tasks.back().SendHeader(20002, 0, i);
    }
    // Only 64 callbacks inside at the same time can get here.
    ASSERT_TRUE(gate.WaitForInside(64));

    // The 65th is closed unanswered as soon as its header is in; the server
    // never stops reading headers while the places are taken.
    auto refused = server.Connect();
    refused.SendHeader(20002, 0, 64);
    refused.ExpectClosed();
    EXPECT_EQ(server.Stats().noTaskPlace, 1u);
    EXPECT_EQ(server.Stats().tasksNow, 64u);
    EXPECT_EQ(gate.Inside(), 64);

    gate.Open();
    for (uint32_t i = 0; i < tasks.size(); ++i) {
        qelsrv::TaskReply reply = tasks[i].ReceiveReply();
        EXPECT_EQ(reply.dataLength, i);
        tasks[i].ExpectClosed();
    }
    // A place that was freed is taken again.
    auto later = server.Connect();
    later.SendHeader(20002, 0, 65);
    EXPECT_EQ(later.ReceiveReply().dataLength, 65u);
    EXPECT_EQ(server.Callbacks(), 65);
}

TEST(RavelnetServer, CloseWaitsForRunningTasks)
{
    Gate gate;
    std::atomic<bool> callbackReturned{false};
    TestServer server([&](RavelnetConnection, const RavelnetTaskHeader&) {
        gate.Enter();
        callbackReturned = true;
    });
    ASSERT_TRUE(server.Opened());
    const uint16_t port = server.Port();
    auto task = server.Connect();
    task.SendHeader(20002, 0);
    ASSERT_TRUE(gate.WaitForInside(1));

    Signal closeCalled;
    auto closing = std::async(std::launch::async, [&] {
        closeCalled.Raise();
        int result = server.Close();
        return std::make_pair(result, callbackReturned.load());
    });
    ASSERT_TRUE(closeCalled.WaitFor());
    // The close has begun and the task is still held at the gate. Nothing
    // tells from outside that the close is waiting for it, so this bounded
    // pause gives a close that does not wait the time to return.
    EXPECT_EQ(closing.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
        << "the close returned while a task still ran";
    gate.Open();
    auto [result, returnedBeforeClose] = closing.get();
    EXPECT_EQ(result, RAVELNET_OK);
    EXPECT_TRUE(returnedBeforeClose);
    task.ExpectClosed();

    // Nobody listens any more.
    EXPECT_THROW(
        {
            try {
                qelsrv::TaskConnection::Connect("127.0.0.1", port);
            } catch (const TransferError& error) {
                EXPECT_EQ(error.kind(), TransferErrorKind::Connect);
                throw;
            }
        },
        TransferError);
}

TEST(RavelnetServer, CloseEndsConnectionsStillWaitingForTheirHeader)
{
    // The default 30 s header time-out: the close must not wait it out.
    ScopedEnvironment headerTimeout("RAVELNET_HEADER_TIMEOUT_MS", std::nullopt);
    TestServer server(ReplyOk);
    ASSERT_TRUE(server.Opened());
    auto peer = server.Connect();
    peer.Send(Pattern(4, 1));
    {
        // Connections are taken in order: once this one is served, the
        // silent peer's was accepted before.
        auto task = server.Connect();
        task.SendHeader(20002, 0);
        EXPECT_EQ(task.ReceiveReply().resultCode, 1u);
    }
    EXPECT_EQ(server.Close(), RAVELNET_OK);
    peer.SetTimeout(std::chrono::seconds(10));
    peer.ExpectClosed();
    EXPECT_EQ(server.Callbacks(), 1);
}

TEST(RavelnetServer, CloseFromItsOwnCallbackIsRefused)
{
    int result = 0;
    Signal finished;
    RavelnetServer self = 0;
    TestServer server([&](RavelnetConnection, const RavelnetTaskHeader&) {
        result = RavelnetCloseServer(self);
        finished.Raise();
    });
    ASSERT_TRUE(server.Opened());
    self = server.Handle();
    auto task = server.Connect();
    task.SendHeader(20002, 0);
    ASSERT_TRUE(finished.WaitFor());
    EXPECT_EQ(result, RAVELNET_E_ARGUMENT);
    task.ExpectClosed();
}

TEST(RavelnetServer, UnknownServerHandles)
{
    EXPECT_EQ(RavelnetCloseServer(0), RAVELNET_E_HANDLE);
    EXPECT_EQ(RavelnetServerPort(0), RAVELNET_E_HANDLE);
    EXPECT_EQ(RavelnetSetTaskHandler(0, nullptr), RAVELNET_E_HANDLE);
    TestServer server(ReplyOk);
    ASSERT_TRUE(server.Opened());
    RavelnetServer handle = server.Handle();
    EXPECT_EQ(server.Close(), RAVELNET_OK);
    EXPECT_EQ(RavelnetCloseServer(handle), RAVELNET_E_HANDLE);
    EXPECT_EQ(RavelnetServerPort(handle), RAVELNET_E_HANDLE);
}

TEST(RavelnetServer, TasksWithoutACallbackAreClosed)
{
    TestServer server(ReplyOk);
    ASSERT_TRUE(server.Opened());
    ASSERT_EQ(RavelnetSetTaskHandler(server.Handle(), nullptr), RAVELNET_OK);
    auto task = server.Connect();
    task.SendHeader(20002, 0);
    task.ExpectClosed();
    EXPECT_EQ(server.Callbacks(), 0);
}

TEST(RavelnetServer, EachServerCallsBackWithItsOwnContext)
{
    std::atomic<int> firstTasks{0}, secondTasks{0};
    TestServer first([&](RavelnetConnection connection, const RavelnetTaskHeader& header) {
        ++firstTasks;
        ReplyOk(connection, header);
    });
    TestServer second([&](RavelnetConnection connection, const RavelnetTaskHeader& header) {
        ++secondTasks;
        ReplyOk(connection, header);
    });
    ASSERT_TRUE(first.Opened());
    ASSERT_TRUE(second.Opened());
    EXPECT_NE(first.Handle(), second.Handle());
    EXPECT_NE(first.Port(), second.Port());
    for (TestServer* server : {&first, &second, &second}) {
        auto task = server->Connect();
        task.SendHeader(20002, 0);
        EXPECT_EQ(task.ReceiveReply().resultCode, 1u);
    }
    EXPECT_EQ(firstTasks.load(), 1);
    EXPECT_EQ(secondTasks.load(), 2);
}

TEST(RavelnetServer, EnvironmentPortReplacesTheSettingsPort)
{
    uint16_t freePort;
    {
        TestServer probe(ReplyOk);
        ASSERT_TRUE(probe.Opened());
        freePort = probe.Port();
    }
    ScopedEnvironment port("RAVELNET_PORT", std::to_string(freePort));
    TestServer server(ReplyOk, LoopbackSettings(19750));
    ASSERT_TRUE(server.Opened());
    EXPECT_EQ(server.Port(), freePort);
    auto task = qelsrv::TaskConnection::Connect("127.0.0.1", freePort);
    task.SendHeader(20002, 0);
    EXPECT_EQ(task.ReceiveReply().resultCode, 1u);
}

} // namespace
