// The disk info task end to end: the sending library as the server, the real
// transport, the handler, and drives mapped to temporary folders.
#include "MaintenanceTestSupport.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

using mnttest::LogOf;
using mnttest::MaintenanceClient;
using mnttest::TestDrives;
namespace msg = mnttest::msg;

void ExpectReservedWordsZero(const qelsrv::TaskReply& reply)
{
    EXPECT_EQ(reply.reserved0, 0u);
    EXPECT_EQ(reply.reserved1, 0u);
    EXPECT_EQ(reply.reserved3, 0u);
}

uint64_t TotalBytesOf(const char* root)
{
    ULARGE_INTEGER available{}, total{}, free{};
    EXPECT_TRUE(GetDiskFreeSpaceExA(root, &available, &total, &free)) << root;
    return total.QuadPart;
}

TEST(DiskInfoTask, NoFixedDrivesAnswersDataLengthZeroAndSendsNothing)
{
    TestDrives drives({{'E', "cdrom"}, {'R', "remote"}}, 'C');
    MaintenanceClient client;

    auto task = qelsrv::TaskConnection::Connect("127.0.0.1", client.Port());
    task.SetTimeout(std::chrono::seconds(60));
    task.SendHeader(20002, 0);
    const qelsrv::TaskReply reply = task.ReceiveReply();
    EXPECT_EQ(reply.resultCode, 1u);
    EXPECT_EQ(reply.dataLength, 0u);
    ExpectReservedWordsZero(reply);
    EXPECT_NO_THROW(task.ExpectClosed()); // nothing follows the reply
    ASSERT_TRUE(client.WaitForTasks(1));

    EXPECT_EQ(drives.MaskedLog(), LogOf({msg::DiskInfoDone()}));
}

TEST(DiskInfoTask, FixedDrivesOnlyInTheSystemsOrder)
{
    TestDrives drives({{'D'}, {'E', "cdrom"}, {'F'}}, 'C');
    MaintenanceClient client;

    auto task = qelsrv::TaskConnection::Connect("127.0.0.1", client.Port());
    task.SetTimeout(std::chrono::seconds(60));
    task.SendHeader(20002, 0);
    const qelsrv::TaskReply reply = task.ReceiveReply();
    EXPECT_EQ(reply.resultCode, 1u);
    ASSERT_EQ(reply.dataLength, 40u);
    ExpectReservedWordsZero(reply);
    const std::vector<std::byte> data = task.Receive(40);
    EXPECT_NO_THROW(task.ExpectClosed());
    ASSERT_TRUE(client.WaitForTasks(1));

    for (size_t record : {0u, 1u}) {
        for (size_t reserved = 1; reserved <= 3; ++reserved) {
            EXPECT_EQ(data[record * 20 + reserved], std::byte{0}) << record << " " << reserved;
        }
    }
    std::vector<qelsrv::DriveSpace> decoded;
    std::string error;
    ASSERT_TRUE(qelsrv::DecodeDiskInfo(data, decoded, error)) << error;
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_EQ(decoded[0].letter, 'D');
    EXPECT_EQ(decoded[1].letter, 'F');
    // The folders' file system: its size is fixed, its free space is not.
    EXPECT_EQ(decoded[0].totalBytes, TotalBytesOf("D:\\"));
    EXPECT_EQ(decoded[1].totalBytes, TotalBytesOf("F:\\"));
    for (const qelsrv::DriveSpace& drive : decoded) {
        EXPECT_GT(drive.totalBytes, 0u);
        EXPECT_LE(drive.freeBytes, drive.totalBytes);
    }
    EXPECT_EQ(drives.MaskedLog(), LogOf({msg::DiskInfoDone()}));
}

TEST(DiskInfoTask, TheServerLibraryReadsTheSameAnswer)
{
    TestDrives drives({{'C'}, {'D'}}, 'C');
    MaintenanceClient client;

    const qelsrv::DiskInfoResult result = qelsrv::RunDiskInfoTask(client.Endpoint());
    ASSERT_TRUE(client.WaitForTasks(1));
    ASSERT_TRUE(result.ok) << result.error;
    ExpectReservedWordsZero(result.reply);
    ASSERT_EQ(result.drives.size(), 2u);
    EXPECT_EQ(result.drives[0].letter, 'C');
    EXPECT_EQ(result.drives[1].letter, 'D');
}

TEST(DiskInfoTask, AFailingRecordSendEndsTheTaskWithTheFailureLine)
{
    TestDrives drives({{'C'}, {'D'}, {'F'}}, 'C');
    MaintenanceClient client;
    // The handler starts only once the server has reset the connection, so
    // that the reply (not examined) and the first record meet a dead peer.
    client.BeforeHandler([](RavelnetConnection connection) {
        char byte = 0;
        RavelnetRecv(connection, &byte, 1, 60000);
    });

    auto task = qelsrv::TaskConnection::Connect("127.0.0.1", client.Port());
    task.SendHeader(20002, 0);
    task.Abort();
    ASSERT_TRUE(client.WaitForTasks(1));

    const std::string log = drives.MaskedLog();
    EXPECT_EQ(log.find(msg::DiskInfoDone()), std::string::npos) << log;
    const std::string failure = LogOf({msg::DiskInfoFailed(RAVELNET_E_SOCKET, 0)});
    const std::string upToSendResult = failure.substr(0, failure.rfind('('));
    // One line: the send's result, then the system's last error.
    EXPECT_EQ(log.substr(0, upToSendResult.size()), upToSendResult) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
}

} // namespace
