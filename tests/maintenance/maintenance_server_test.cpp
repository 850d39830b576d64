// The server library's side of the maintenance tasks: decoding the drive
// records, the table and JSON output, and several clients at once with one
// of them unreachable.
#include "MaintenanceTestSupport.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <array>

namespace {

using mnttest::MaintenanceClient;
using mnttest::TestDrives;

std::vector<std::byte> Record(char letter, std::array<uint32_t, 4> words)
{
    std::vector<std::byte> bytes(20, std::byte{0});
    bytes[0] = static_cast<std::byte>(letter);
    for (size_t w = 0; w < 4; ++w) {
        for (size_t b = 0; b < 4; ++b) {
            bytes[4 + w * 4 + b] = static_cast<std::byte>(words[w] >> (8 * b));
        }
    }
    return bytes;
}

// A port on which nothing listens: the connection is refused.
const qelsrv::Endpoint kUnreachable{"127.0.0.1", 1};

TEST(MaintenanceServer, DecodesHighWordFirstCounts)
{
    std::vector<std::byte> data = Record('D', {0x0A, 0x11223344, 1, 0});
    const std::vector<std::byte> second = Record('F', {0, 0, 0, 0});
    data.insert(data.end(), second.begin(), second.end());

    std::vector<qelsrv::DriveSpace> drives;
    std::string error;
    ASSERT_TRUE(qelsrv::DecodeDiskInfo(data, drives, error)) << error;
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].letter, 'D');
    EXPECT_EQ(drives[0].freeBytes, 0x0000000A'11223344ull);
    EXPECT_EQ(drives[0].totalBytes, 4294967296ull);
    EXPECT_EQ(drives[1].letter, 'F');
    EXPECT_EQ(drives[1].totalBytes, 0u);

    data.pop_back();
    EXPECT_FALSE(qelsrv::DecodeDiskInfo(data, drives, error));
    EXPECT_NE(error.find("39 bytes"), std::string::npos) << error;
}

TEST(MaintenanceServer, UsedPercentOfEmptyFullAndSizelessDrives)
{
    EXPECT_DOUBLE_EQ(qelsrv::UsedPercent({'D', 1000, 1000}), 0.0);
    EXPECT_DOUBLE_EQ(qelsrv::UsedPercent({'D', 1000, 0}), 100.0);
    EXPECT_DOUBLE_EQ(qelsrv::UsedPercent({'D', 1000, 250}), 75.0);
    EXPECT_DOUBLE_EQ(qelsrv::UsedPercent({'D', 0, 0}), 0.0);
    EXPECT_DOUBLE_EQ(qelsrv::UsedPercent({'D', 10, 20}), 0.0); // a client's odd answer
}

TEST(MaintenanceServer, DriveTableWithHumanReadableSizes)
{
    const std::string table = qelsrv::FormatDriveTable({{'D', 500ull << 30, 125ull << 30}, {'F', 4294967296ull, 0}});
    EXPECT_EQ(table, "  drive       total       free    used\n"
                     "  D:        500 GiB    125 GiB   75.0%\n"
                     "  F:       4.00 GiB        0 B  100.0%\n");
    EXPECT_EQ(qelsrv::FormatDriveTable({}), "  (no fixed drives)\n");
}

TEST(MaintenanceServer, JsonStringsStayValidForAnyBytes)
{
    EXPECT_EQ(qelsrv::JsonString("a\"b\\c\n"), R"("a\"b\\c\u000a")");
    EXPECT_EQ(qelsrv::JsonString("\xe6\xb8\xb8"), "\"\xe6\xb8\xb8\"");        // UTF-8 kept
    EXPECT_EQ(qelsrv::JsonString("\xd3\xce"), R"("\u00d3\u00ce")");           // GBK bytes escaped
    EXPECT_EQ(qelsrv::JsonString("\xed\xa0\x80"), R"("\u00ed\u00a0\u0080")"); // a surrogate
    const std::string odd = qelsrv::JsonString("x\xc0\xaf\xf4\x90\x80\x80\x7f");
    EXPECT_TRUE(nlohmann::json::accept(odd)) << odd;
}

TEST(MaintenanceServer, EveryClientAtOnceOneUnreachable)
{
    TestDrives drives({{'C'}, {'D'}, {'E', "cdrom"}}, 'C');
    MaintenanceClient client;
    const std::vector<qelsrv::Endpoint> endpoints = {client.Endpoint(), kUnreachable, client.Endpoint()};

    const std::vector<qelsrv::DiskInfoResult> results = qelsrv::RunOnEveryClient<qelsrv::DiskInfoResult>(
        endpoints, [](const qelsrv::Endpoint& endpoint) { return qelsrv::RunDiskInfoTask(endpoint); });
    ASSERT_TRUE(client.WaitForTasks(2));

    ASSERT_EQ(results.size(), 3u);
    EXPECT_TRUE(results[0].ok) << results[0].error;
    EXPECT_FALSE(results[1].ok);
    EXPECT_FALSE(results[1].error.empty());
    EXPECT_TRUE(results[2].ok) << results[2].error;

    const nlohmann::json json = nlohmann::json::parse(qelsrv::DiskInfoJson(endpoints, results));
    ASSERT_EQ(json.size(), 3u);
    EXPECT_EQ(json[0]["client"], client.Endpoint().Label());
    EXPECT_EQ(json[0]["ok"], true);
    ASSERT_EQ(json[0]["drives"].size(), 2u);
    EXPECT_EQ(json[0]["drives"][0]["drive"], "C");
    EXPECT_EQ(json[0]["drives"][1]["drive"], "D");
    EXPECT_EQ(json[0]["drives"][1]["totalBytes"].get<uint64_t>(), results[0].drives[1].totalBytes);
    EXPECT_EQ(json[1]["client"], "127.0.0.1:1");
    EXPECT_EQ(json[1]["ok"], false);
    EXPECT_EQ(json[1]["error"], results[1].error);
    EXPECT_TRUE(json[1].find("drives") == json[1].end());
}

TEST(MaintenanceServer, DeleteOutcomes)
{
    TestDrives drives({{'C'}, {'D'}}, 'C');
    MaintenanceClient client;
    const qelsrv::DeleteGameResult done = qelsrv::RunDeleteGameTask(client.Endpoint(), R"(D:\games\x)");
    ASSERT_TRUE(client.WaitForTasks(1));
    EXPECT_EQ(qelsrv::DescribeDeleteOutcome(done), "done (reply 1)");

    const qelsrv::DeleteGameResult failed = qelsrv::RunDeleteGameTask(kUnreachable, R"(D:\games\x)");
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(qelsrv::DescribeDeleteOutcome(failed), "failed: " + failed.error);
}

TEST(MaintenanceServer, ParsesEveryClientOrNamesTheBadOne)
{
    std::vector<qelsrv::Endpoint> endpoints;
    std::string error;
    ASSERT_TRUE(qelsrv::ParseEndpoints({"10.0.0.7", "127.0.0.1:20000"}, endpoints, error)) << error;
    ASSERT_EQ(endpoints.size(), 2u);
    EXPECT_EQ(endpoints[0].Label(), "10.0.0.7:19750");
    EXPECT_EQ(endpoints[1].Label(), "127.0.0.1:20000");
    EXPECT_FALSE(qelsrv::ParseEndpoints({"10.0.0.7", "host:notaport"}, endpoints, error));
    EXPECT_FALSE(error.empty());
}

} // namespace
