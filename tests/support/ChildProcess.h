// Test support: programs started from a test, on Linux. A child never
// outlives its test: it gets SIGKILL when the test process ends, however it
// ends (a crash included), and a ChildProcess kills its child when it goes.
// A program under test runs as a ChildProcess whose standard output is read
// line by line and whose standard input, when asked for, is a pipe the test
// writes lines to. Its standard error goes to a file, never to a pipe, so
// that a talkative child (Wine) can never stall on a full pipe. Short helper commands (wine reg,
// wineserver, objdump) run to their end with RunCommand.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qeltest {

using Milliseconds = std::chrono::milliseconds;

// Variables to set (a value) or to remove (an empty optional) in the child's
// copy of this process's environment.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

struct ProcessOptions {
    std::vector<std::string> arguments; // arguments[0] is the program to run
    EnvironmentChanges environment;
    std::filesystem::path workingDirectory; // empty: this process's own
    std::filesystem::path errorFile;        // empty: standard error is discarded (or captured)
    bool inputPipe = false;                 // false: standard input is /dev/null
    bool captureErrors = false;             // standard error to an unnamed file, for ReadAllErrors
};

class ChildProcess {
public:
    explicit ChildProcess(const ProcessOptions& options);
    // Kills the child when it still runs, and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }

    // Writes one line to the child's standard input (options.inputPipe).
    void WriteLine(const std::string& line);
    // Closes the child's standard input.
    void CloseInput();

    // The next line of standard output without its line end ("\n" or
    // "\r\n"); a last line without a line end is handed out at the end of the
    // stream. Nullopt at the end of the stream, or when no line came within
    // `limit` (a hang guard, not a measure of speed).
    std::optional<std::string> ReadLine(Milliseconds limit);
    // The same, waiting as long as the child runs.
    std::optional<std::string> ReadLine();

    void Signal(int signal);
    // The exit status (128 + the signal when a signal ended it), or nullopt
    // when the child still runs after `limit`.
    std::optional<int> Wait(Milliseconds limit);
    // The same, waiting as long as the child runs.
    int Wait();

    // Everything the child wrote to standard error (options.captureErrors),
    // once it has ended.
    std::string ReadAllErrors();

private:
    std::optional<std::string> NextLine(std::optional<std::chrono::steady_clock::time_point> deadline);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int errors_ = -1;
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

} // namespace qeltest
