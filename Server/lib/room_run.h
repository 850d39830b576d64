// Running one task against many clients: a bounded number at a time, the
// failed ones again at the end of the queue, a shared budget for what is sent
// to all of them, and a stop that lets the running tasks end.
#pragma once

#include "task_connection.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

namespace qelsrv {

// The time a send budget reads and waits for: the steady clock, or a test's
// own, which moves only when told.
class BudgetClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~BudgetClock() = default;
    virtual TimePoint Now() = 0;
    virtual void SleepUntil(TimePoint when) = 0;
};
BudgetClock& SteadyBudgetClock();

// What the tool sends to all clients together: a token bucket shared by every
// transfer (each waits its turn for a slot, in the order they ask, so that
// the transfers share the rate evenly), and the count of what went out.
class SendBudget {
public:
    // `bytesPerSecond` 0: no limit, only counting.
    explicit SendBudget(uint64_t bytesPerSecond = 0, BudgetClock& clock = SteadyBudgetClock());
    SendBudget(const SendBudget&) = delete;
    SendBudget& operator=(const SendBudget&) = delete;

    uint64_t BytesPerSecond() const { return rate_; }
    // The largest piece a transfer should ask for at once: a fiftieth of a
    // second's worth under a limit (4 KiB to 256 KiB), 4 MiB without one.
    uint64_t ChunkSize() const;
    // Waits until `bytes` may go out.
    void Acquire(uint64_t bytes);
    // `bytes` have gone out.
    void Count(uint64_t bytes);

    uint64_t BytesSent() const;
    // Seconds from the first counted send's start to the last one's end.
    double SendingSeconds() const;
    // BytesSent over SendingSeconds, 0 before anything went out.
    double AverageRate() const;
    // The rate over the last few seconds.
    double RecentRate();

private:
    using TimePoint = BudgetClock::TimePoint;
    const uint64_t rate_;
    BudgetClock& clock_;
    mutable std::mutex mutex_;
    TimePoint next_{}; // when the next slot begins
    bool started_ = false;
    TimePoint first_{}; // the first send's start
    TimePoint last_{};  // the last send's end
    uint64_t sent_ = 0;
    TimePoint windowStart_{};
    uint64_t windowBytes_ = 0;
    double windowRate_ = 0;
};

// Sends the first `length` bytes of `file` through `budget` (none: at once):
// in pieces of the budget's chunk size, each after its slot.
void SendFileBudgeted(TaskConnection& connection, const InputFile& file, uint64_t length, SendBudget* budget);
// The same for a block of memory.
void SendBudgeted(TaskConnection& connection, std::span<const std::byte> bytes, SendBudget* budget);

struct PoolOptions {
    size_t parallel = 32;
    // How many more times a task that failed runs, each time at the end of
    // the queue.
    unsigned retries = 0;
    // How many times the operator has asked to stop: at 1 no further task
    // starts, at 2 `interrupter` ends the running ones. Read often.
    std::function<int()> stopRequests;
    Interrupter* interrupter = nullptr;
    // Called on the pool's own thread a few times a second while tasks run.
    std::function<void()> tick;
};

struct PoolOutcome {
    std::vector<unsigned> attempts; // per task; 0 for one that never started
    bool stopped = false;           // the operator stopped the run
};

// Runs task(index, attempt) for every index below `count`, in order, at most
// `options.parallel` at a time; `task` returns whether it succeeded. Returns
// once no task runs.
PoolOutcome RunPool(size_t count, const std::function<bool(size_t index, unsigned attempt)>& task,
                    const PoolOptions& options);

} // namespace qelsrv
