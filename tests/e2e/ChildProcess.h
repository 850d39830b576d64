// Test support: programs started from a test, on Linux. The client host under
// test runs as a ChildProcess whose standard output is read line by line; its
// standard error goes to a file, so that a talkative child (Wine) can never
// stall on a full pipe. Short helper commands (wine reg, wineserver) run to
// their end with RunCommand.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

using Milliseconds = std::chrono::milliseconds;

// Variables to set (a value) or to remove (an empty optional) in the child's
// copy of this process's environment.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

struct ProcessOptions {
    std::vector<std::string> arguments; // arguments[0] is the program to run
    EnvironmentChanges environment;
    std::filesystem::path workingDirectory; // empty: this process's own
    std::filesystem::path errorFile;        // empty: standard error is discarded
};

class ChildProcess {
public:
    explicit ChildProcess(const ProcessOptions& options);
    // Kills the child when it still runs, and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }

    // The next line of standard output without its line end; nullopt at the
    // end of the stream, or when no line came within `limit` (a hang guard,
    // not a measure of speed).
    std::optional<std::string> ReadLine(Milliseconds limit);
    void Signal(int signal);
    // The exit status (128 + the signal when a signal ended it), or nullopt
    // when the child still runs after `limit`.
    std::optional<int> Wait(Milliseconds limit);

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string pending_; // bytes read past the last line handed out
    bool outputEnded_ = false;
    std::optional<int> exitStatus_;
};

struct CommandResult {
    int exitStatus = -1;
    std::string output; // standard output and standard error, interleaved
};

// Runs a command to its end.
CommandResult RunCommand(const std::vector<std::string>& arguments, const EnvironmentChanges& environment = {},
                         const std::filesystem::path& workingDirectory = {});

// A TCP port on the loopback interface that nothing listens on right now,
// below the system's range of ephemeral ports.
uint16_t FreeLoopbackPort();

} // namespace e2e
