#include "room_run.h"

#include <algorithm>
#include <deque>
#include <thread>

namespace qelsrv {

namespace {

class SteadyClock final : public BudgetClock {
public:
    TimePoint Now() override { return std::chrono::steady_clock::now(); }
    void SleepUntil(TimePoint when) override { std::this_thread::sleep_until(when); }
};

} // namespace

BudgetClock& SteadyBudgetClock()
{
    static SteadyClock clock;
    return clock;
}

SendBudget::SendBudget(uint64_t bytesPerSecond, BudgetClock& clock) : rate_(bytesPerSecond), clock_(clock) { }

uint64_t SendBudget::ChunkSize() const
{
    if (rate_ == 0)
        return uint64_t{4} << 20;
    return std::clamp<uint64_t>(rate_ / 50, 4096, 256 * 1024);
}

void SendBudget::Acquire(uint64_t bytes)
{
    if (rate_ == 0)
        return;
    // A twentieth of a second of unused rate may be made up for; more would
    // let a burst past the cap after a pause.
    const auto burst = std::chrono::milliseconds(50);
    const auto cost = std::chrono::duration_cast<TimePoint::duration>(
        std::chrono::duration<double>(static_cast<double>(bytes) / static_cast<double>(rate_)));
    TimePoint slot;
    {
        std::lock_guard lock(mutex_);
        const TimePoint now = clock_.Now();
        if (!started_) {
            // Nothing to make up for before the first send, whose slot
            // begins the sending time.
            started_ = true;
            next_ = now;
            first_ = now;
            windowStart_ = now;
        } else if (next_ < now - burst) {
            next_ = now - burst;
        }
        slot = next_;
        next_ += cost;
    }
    clock_.SleepUntil(slot);
}

void SendBudget::Count(uint64_t bytes)
{
    std::lock_guard lock(mutex_);
    const TimePoint now = clock_.Now();
    if (!started_) {
        started_ = true;
        first_ = now;
        windowStart_ = now;
    }
    last_ = now;
    sent_ += bytes;
    windowBytes_ += bytes;
}

uint64_t SendBudget::BytesSent() const
{
    std::lock_guard lock(mutex_);
    return sent_;
}

double SendBudget::SendingSeconds() const
{
    std::lock_guard lock(mutex_);
    return sent_ > 0 ? std::chrono::duration<double>(last_ - first_).count() : 0.0;
}

double SendBudget::AverageRate() const
{
    std::lock_guard lock(mutex_);
    const double seconds = sent_ > 0 ? std::chrono::duration<double>(last_ - first_).count() : 0.0;
    return seconds > 0 ? static_cast<double>(sent_) / seconds : 0.0;
}

double SendBudget::RecentRate()
{
    std::lock_guard lock(mutex_);
    if (!started_)
        return 0.0;
    const TimePoint now = clock_.Now();
    const double seconds = std::chrono::duration<double>(now - windowStart_).count();
    if (seconds >= 1.0) {
        windowRate_ = static_cast<double>(windowBytes_) / seconds;
        windowStart_ = now;
        windowBytes_ = 0;
    } else if (windowRate_ == 0 && seconds > 0.2) {
        return static_cast<double>(windowBytes_) / seconds;
    }
    return windowRate_;
}

void SendFileBudgeted(TaskConnection& connection, const InputFile& file, uint64_t length, SendBudget* budget)
{
    if (budget == nullptr) {
        connection.SendFileRange(file, 0, length);
        return;
    }
    const uint64_t chunk = budget->ChunkSize();
    for (uint64_t offset = 0; offset < length;) {
        const uint64_t piece = std::min(chunk, length - offset);
        budget->Acquire(piece);
        connection.SendFileRange(file, offset, piece);
        budget->Count(piece);
        offset += piece;
    }
}

void SendBudgeted(TaskConnection& connection, std::span<const std::byte> bytes, SendBudget* budget)
{
    if (budget == nullptr) {
        connection.Send(bytes);
        return;
    }
    const size_t chunk = static_cast<size_t>(budget->ChunkSize());
    while (!bytes.empty()) {
        const std::span<const std::byte> piece = bytes.first(std::min(chunk, bytes.size()));
        budget->Acquire(piece.size());
        connection.Send(piece);
        budget->Count(piece.size());
        bytes = bytes.subspan(piece.size());
    }
}

PoolOutcome RunPool(size_t count, const std::function<bool(size_t index, unsigned attempt)>& task,
                    const PoolOptions& options)
{
    PoolOutcome outcome;
    outcome.attempts.assign(count, 0);
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<size_t> queue;
    for (size_t i = 0; i < count; ++i)
        queue.push_back(i);
    size_t running = 0;
    bool stopping = false;
    const auto stopRequests = [&] { return options.stopRequests ? options.stopRequests() : 0; };

    const size_t workers = std::max<size_t>(1, std::min(options.parallel, count));
    std::vector<std::thread> threads;
    threads.reserve(workers);
    for (size_t w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            std::unique_lock lock(mutex);
            for (;;) {
                // A task that fails may come back to the queue while others
                // run: wait for the running ones before giving up.
                changed.wait(lock, [&] { return stopping || !queue.empty() || running == 0; });
                // The coordinator sees a stop request only a few times a
                // second: look at it here too before starting a task.
                if (stopping || queue.empty() || stopRequests() >= 1)
                    return;
                const size_t index = queue.front();
                queue.pop_front();
                const unsigned attempt = ++outcome.attempts[index];
                ++running;
                lock.unlock();
                const bool ok = task(index, attempt);
                lock.lock();
                --running;
                if (!ok && attempt <= options.retries)
                    queue.push_back(index);
                changed.notify_all();
            }
        });
    }

    bool interrupted = false;
    {
        std::unique_lock lock(mutex);
        for (;;) {
            if (!stopping && stopRequests() >= 1) {
                stopping = true;
                outcome.stopped = true;
                changed.notify_all();
            }
            if (!interrupted && stopRequests() >= 2 && options.interrupter != nullptr) {
                interrupted = true;
                options.interrupter->InterruptAll();
            }
            if ((queue.empty() || stopping) && running == 0)
                break;
            // The stop requests come from a signal handler, which cannot
            // notify: look at them a few times a second.
            changed.wait_for(lock, std::chrono::milliseconds(100));
            if (options.tick) {
                lock.unlock();
                options.tick();
                lock.lock();
            }
        }
        stopping = true;
        changed.notify_all();
    }
    for (std::thread& thread : threads)
        thread.join();
    return outcome;
}

} // namespace qelsrv
