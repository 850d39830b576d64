// Helpers of the transport tests: a task server on loopback whose callback
// runs a test's lambda, environment variables for one scope, signals between
// a task thread and the test thread, and payload bytes.
#pragma once

#include "ravelnet.h"
#include "task_connection.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ravelnet_test {

// Long enough never to be reached by a working library: a bound against
// hanging, not a measure of speed.
inline constexpr std::chrono::seconds kPatience{60};

// Sets (or with nullopt removes) a process environment variable for the
// scope, restoring the previous state afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, std::optional<std::string> value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// Settings record for a server on 127.0.0.1 (port 0: any free port).
RavelnetServerSettings LoopbackSettings(uint16_t port = 0);

// Something that happens once on one thread and is waited for on another.
class Signal {
public:
    void Raise();
    bool WaitFor(std::chrono::milliseconds limit = kPatience);
    bool IsRaised();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool raised_ = false;
};

// A task server on loopback; every task runs `task` on the library's thread.
class TestServer {
public:
    using Task = std::function<void(RavelnetConnection, const RavelnetTaskHeader&)>;

    // Opens with the environment as it is; check Opened().
    explicit TestServer(Task task, const RavelnetServerSettings& settings = LoopbackSettings());
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    bool Opened() const { return handle_ != 0; }
    RavelnetServer Handle() const { return handle_; }
    uint16_t Port() const;
    int Callbacks() const { return callbacks_.load(); }
    // Closes now (the destructor does it otherwise); the close's result.
    int Close();

    // A connection from `from` (a loopback address: all of 127.0.0.0/8 is
    // this machine), with the tests' patience as its time-out.
    qelsrv::TaskConnection Connect(const std::string& from = "127.0.0.1") const;

    RavelnetServerStats Stats() const;
    // Waits until the server's counters satisfy `holds`; false when they do
    // not within kPatience.
    bool WaitForStats(const std::function<bool(const RavelnetServerStats&)>& holds) const;

private:
    static uint32_t OnTask(RavelnetConnection connection, uint32_t context, const RavelnetTaskHeader* header,
                           uint32_t reserved);

    Task task_;
    RavelnetServer handle_ = 0;
    std::atomic<int> callbacks_{0};
};

// Wine implements Winsock over the host's sockets and differs from Windows
// in a few corners; the tests that meet one say so.
bool RunningUnderWine();

// Deterministic bytes, different for each seed.
std::vector<std::byte> Pattern(std::size_t length, uint32_t seed);

// A reply record as a task sends it.
struct ReplyWords {
    uint32_t words[5];
};
ReplyWords MakeReply(uint32_t resultCode, uint32_t dataLength);

} // namespace ravelnet_test
