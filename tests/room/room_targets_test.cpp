// The clients of a command as the operator writes them: hosts, address
// ranges and clients files expanded without the network, and the pool that
// runs their tasks a bounded number at a time. Nothing here connects.
#include "room_run.h"
#include "targets.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

// How long a run may wait for the pool before the test calls it hung: a
// guard, not a measure.
constexpr auto kHangGuard = std::chrono::minutes(1);

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
        size_t firstRuns = 0;
        bool hung = false;
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
                firstRuns += attempt == 1 ? 1 : 0;
                most = std::max(most, running);
                // Each run stays until the pool is full, or until every
                // first run has started (the pool has no more to fill it
                // with): runs held while others start show a pool that
                // runs too many, whatever the machine's load.
                changed.notify_all();
                hung |= !changed.wait_for(lock, kHangGuard, [&] { return running >= parallel || firstRuns == 10; });
                --running;
                changed.notify_all();
                return index != 4 || attempt == 3; // task 4 succeeds on its third run
            },
            options);
        EXPECT_FALSE(hung) << "the pool left places empty while tasks waited";
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

// A clock that moves only when a send waits for its slot or the test says
// so, so that the budget's slots can be checked to the nanosecond.
class TestClock final : public qelsrv::BudgetClock {
public:
    TimePoint Now() override { return now_; }
    void SleepUntil(TimePoint when) override { now_ = std::max(now_, when); }
    void Advance(std::chrono::milliseconds by) { now_ += by; }
    std::chrono::milliseconds Elapsed() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - TimePoint{});
    }

private:
    TimePoint now_{};
};

// One send of a budget case: the clock moves `pause` on its own, then a
// send of `bytes` asks for its slot, and the clock reads `slotAt` once the
// send may go out.
struct BudgetStep {
    int pauseMs;
    uint64_t bytes;
    int slotAtMs;
};

struct BudgetCase {
    const char* name;
    uint64_t bytesPerSecond;
    std::vector<BudgetStep> steps;
};

class RoomBudget : public testing::TestWithParam<BudgetCase> { };

TEST_P(RoomBudget, SendsWaitForTheirSlots)
{
    TestClock clock;
    qelsrv::SendBudget budget(GetParam().bytesPerSecond, clock);
    uint64_t sent = 0;
    for (const BudgetStep& step : GetParam().steps) {
        clock.Advance(std::chrono::milliseconds(step.pauseMs));
        budget.Acquire(step.bytes);
        EXPECT_EQ(clock.Elapsed().count(), step.slotAtMs) << "the send after " << sent << " bytes";
        budget.Count(step.bytes);
        sent += step.bytes;
    }
    EXPECT_EQ(budget.BytesSent(), sent);
}

// 1,000,000 bytes a second: 100,000 bytes take a slot of 100 ms.
INSTANTIATE_TEST_SUITE_P(
    Slots, RoomBudget,
    testing::Values(
        BudgetCase{
            "BackToBackSendsAreSpacedByTheirCost", 1'000'000, {{0, 100'000, 0}, {0, 100'000, 100}, {0, 100'000, 200}}},
        BudgetCase{
            "SlotsFollowEachSendsOwnSize", 1'000'000, {{0, 50'000, 0}, {0, 200'000, 50}, {0, 1'000, 250}, {0, 1, 251}}},
        // A pause of 30 ms after a slot that ended at 100 ms: the next slot
        // is made up from the past (130 ms less 50 ms is before 100 ms).
        BudgetCase{
            "ALatePauseWithinTheBurstIsMadeUp", 1'000'000, {{0, 100'000, 0}, {130, 100'000, 130}, {0, 100'000, 200}}},
        // A pause of 900 ms: no more than 50 ms of unused rate is made up.
        BudgetCase{
            "ALongPauseMakesUpOnlyTheBurst", 1'000'000, {{0, 100'000, 0}, {1000, 100'000, 1000}, {0, 100'000, 1050}}},
        BudgetCase{"TheFirstSendStartsAtOnceAfterAPause", 1'000'000, {{500, 100'000, 500}, {0, 100'000, 600}}},
        BudgetCase{"WithoutALimitNothingWaits", 0, {{0, 4'000'000, 0}, {0, 4'000'000, 0}, {10, 1, 10}}}),
    [](const testing::TestParamInfo<BudgetCase>& info) { return std::string(info.param.name); });

TEST(RoomBudgetTotals, SendingTimeRunsFromTheFirstSendToTheLast)
{
    TestClock clock;
    qelsrv::SendBudget budget(1'000'000, clock);
    EXPECT_EQ(budget.AverageRate(), 0.0);
    for (int i = 0; i < 4; ++i) {
        budget.Acquire(250'000);
        budget.Count(250'000);
    }
    // The fourth slot begins at 750 ms; counting ends as its send returns,
    // which this clock makes instant.
    EXPECT_EQ(budget.BytesSent(), 1'000'000u);
    EXPECT_DOUBLE_EQ(budget.SendingSeconds(), 0.75);
    EXPECT_DOUBLE_EQ(budget.AverageRate(), 1'000'000 / 0.75);
}

TEST(RoomBudgetChunks, ChunksFollowTheRate)
{
    EXPECT_EQ(qelsrv::SendBudget(0).ChunkSize(), 4u << 20);
    EXPECT_EQ(qelsrv::SendBudget(1000).ChunkSize(), 4096u);
    EXPECT_EQ(qelsrv::SendBudget(5'000'000).ChunkSize(), 100'000u);
    EXPECT_EQ(qelsrv::SendBudget(1'000'000'000).ChunkSize(), 256u * 1024);
}

} // namespace
