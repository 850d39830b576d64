// The clients of a command as the operator writes them: hosts, address
// ranges and clients files expanded without the network, and the pool that
// runs their tasks a bounded number at a time. Nothing here connects.
#include "room_run.h"
#include "targets.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

using qelsrv::Endpoint;

std::vector<std::string> Labels(const std::vector<Endpoint>& endpoints)
{
    std::vector<std::string> labels;
    for (const Endpoint& endpoint : endpoints)
        labels.push_back(endpoint.Label());
    return labels;
}

struct Expansion {
    const char* text;
    size_t count;
    const char* first; // HOST:PORT
    const char* last;
};

TEST(RoomTargets, ExpandsHostsRangesAndBlocks)
{
    const Expansion cases[] = {
        {"pc-01", 1, "pc-01:19750", "pc-01:19750"},
        {"pc-01:19800", 1, "pc-01:19800", "pc-01:19800"},
        {"10.1.2.3", 1, "10.1.2.3:19750", "10.1.2.3:19750"},
        // A /24 without its network and broadcast addresses.
        {"192.168.1.0/24", 254, "192.168.1.1:19750", "192.168.1.254:19750"},
        // Any address in the block names the block.
        {"192.168.1.77/24:19800", 254, "192.168.1.1:19800", "192.168.1.254:19800"},
        {"10.0.0.0/30", 2, "10.0.0.1:19750", "10.0.0.2:19750"},
        {"10.0.0.4/31", 2, "10.0.0.4:19750", "10.0.0.5:19750"},
        {"10.0.0.9/32", 1, "10.0.0.9:19750", "10.0.0.9:19750"},
        {"172.16.0.0/22", 1022, "172.16.0.1:19750", "172.16.3.254:19750"},
        {"192.168.1.20-80", 61, "192.168.1.20:19750", "192.168.1.80:19750"},
        {"192.168.1.20-20:7", 1, "192.168.1.20:7", "192.168.1.20:7"},
        {"192.168.1.250-192.168.2.5", 12, "192.168.1.250:19750", "192.168.2.5:19750"},
        {"127.0.0.1-3:19801", 3, "127.0.0.1:19801", "127.0.0.3:19801"},
    };
    for (const Expansion& c : cases) {
        std::vector<Endpoint> endpoints;
        std::string error;
        ASSERT_TRUE(qelsrv::ExpandTarget(c.text, endpoints, error)) << c.text << ": " << error;
        ASSERT_EQ(endpoints.size(), c.count) << c.text;
        EXPECT_EQ(endpoints.front().Label(), c.first) << c.text;
        EXPECT_EQ(endpoints.back().Label(), c.last) << c.text;
    }
}

TEST(RoomTargets, RefusesMalformedTargets)
{
    for (const char* text :
         {"", ":19750", "pc:0", "pc:65536", "pc:x", "10.0.0.0/33", "10.0.0.0/", "pc/24", "10.0.0/24", "10.0.0.9-5",
          "10.0.0.5-256", "10.0.0.5-10.0.0.4", "10.0.0.5-x", "10.0.0.0/8", "10.0.0.0-10.1.0.0"}) {
        std::vector<Endpoint> endpoints;
        std::string error;
        EXPECT_FALSE(qelsrv::ExpandTarget(text, endpoints, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(RoomTargets, ClientsFileLinesSkipCommentsAndBlanks)
{
    const std::string text = "# the room\n"
                             "pc-01\r\n"
                             "\n"
                             "   \t\n"
                             "  192.168.1.20-22:19800   # the back row\n"
                             "pc-02:19751#no blank before the comment\n"
                             "last-line-without-newline";
    EXPECT_EQ(qelsrv::ClientsFileTargets(text),
              (std::vector<std::string>{"pc-01", "192.168.1.20-22:19800", "pc-02:19751", "last-line-without-newline"}));
    EXPECT_TRUE(qelsrv::ClientsFileTargets("# nothing\n\n").empty());
}

TEST(RoomTargets, CollectKeepsTheFirstOfEachDuplicate)
{
    std::vector<Endpoint> endpoints;
    std::string error;
    ASSERT_TRUE(qelsrv::CollectTargets({"10.0.0.2", "10.0.0.1-3", "10.0.0.2:19750", "10.0.0.2:19751", "pc", "pc:19750"},
                                       endpoints, error))
        << error;
    EXPECT_EQ(Labels(endpoints), (std::vector<std::string>{"10.0.0.2:19750", "10.0.0.1:19750", "10.0.0.3:19750",
                                                           "10.0.0.2:19751", "pc:19750"}));

    EXPECT_FALSE(qelsrv::CollectTargets({}, endpoints, error));
    EXPECT_FALSE(qelsrv::CollectTargets({"10.0.0.0/24", "bad:port"}, endpoints, error));
    EXPECT_NE(error.find("bad:port"), std::string::npos) << error;
    // Each block alone is allowed; together they are too many.
    EXPECT_FALSE(qelsrv::CollectTargets({"10.0.0.0/16", "10.1.0.0/16"}, endpoints, error));
}

TEST(RoomPool, RunsABoundedNumberAtOnceAndRetriesAtTheEnd)
{
    for (size_t parallel : {size_t{1}, size_t{3}, size_t{8}}) {
        std::mutex mutex;
        std::condition_variable changed;
        size_t running = 0;
        size_t most = 0;
        std::vector<std::string> order;
        qelsrv::PoolOptions options;
        options.parallel = parallel;
        options.retries = 2;
        const auto outcome = qelsrv::RunPool(
            10,
            [&](size_t index, unsigned attempt) {
                std::unique_lock lock(mutex);
                order.push_back(std::to_string(index) + "/" + std::to_string(attempt));
                ++running;
                most = std::max(most, running);
                // Hold a little while fewer run than may, so that a pool
                // running too many would show it.
                changed.notify_all();
                changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return running >= parallel; });
                --running;
                changed.notify_all();
                return index != 4 || attempt == 3; // task 4 succeeds on its third run
            },
            options);
        EXPECT_LE(most, parallel);
        EXPECT_EQ(outcome.attempts[4], 3u);
        EXPECT_EQ(outcome.attempts[0], 1u);
        EXPECT_FALSE(outcome.stopped);
        ASSERT_EQ(order.size(), 12u);
        // A retry is queued behind every first run and the next retry behind
        // it. Only one at a time records in the order it was taken; with more
        // at once, which of them records first is up to the scheduler.
        const auto second = std::find(order.begin(), order.end(), "4/2");
        const auto third = std::find(order.begin(), order.end(), "4/3");
        ASSERT_NE(second, order.end());
        EXPECT_LT(second, third);
        if (parallel == 1) {
            EXPECT_EQ(order[4], "4/1");
            EXPECT_EQ(order[10], "4/2"); // after every first run
            EXPECT_EQ(order.back(), "4/3");
        }
    }
}

TEST(RoomPool, AStopRequestStartsNoFurtherTask)
{
    std::atomic<int> stops{0};
    std::mutex mutex;
    std::condition_variable stopped;
    qelsrv::PoolOptions options;
    options.parallel = 2;
    options.stopRequests = [&] { return stops.load(); };
    const auto outcome = qelsrv::RunPool(
        6,
        [&](size_t index, unsigned) {
            std::unique_lock lock(mutex);
            if (index == 1) {
                stops = 1; // the operator's Ctrl+C while tasks 0 and 1 run
                stopped.notify_all();
            } else {
                stopped.wait(lock, [&] { return stops.load() > 0; });
            }
            return true;
        },
        options);
    EXPECT_TRUE(outcome.stopped);
    EXPECT_EQ(outcome.attempts, (std::vector<unsigned>{1, 1, 0, 0, 0, 0}));
}

TEST(RoomBudget, ChunksFollowTheRate)
{
    EXPECT_EQ(qelsrv::SendBudget(0).ChunkSize(), 4u << 20);
    EXPECT_EQ(qelsrv::SendBudget(1000).ChunkSize(), 4096u);
    EXPECT_EQ(qelsrv::SendBudget(5'000'000).ChunkSize(), 100'000u);
    EXPECT_EQ(qelsrv::SendBudget(1'000'000'000).ChunkSize(), 256u * 1024);
}

} // namespace
