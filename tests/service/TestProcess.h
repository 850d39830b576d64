// Test support: a child process with pipes to its standard streams, started
// from a given executable with a given environment.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

class TestProcess {
public:
    // Starts `executable` with `arguments` in `workingDirectory` (this
    // process's own when empty); `environment` replaces (or, with an empty
    // optional, removes) the named variables of this process's own.
    TestProcess(const std::string& executable, const std::vector<std::string>& arguments,
                const std::map<std::string, std::optional<std::string>>& environment,
                const std::string& workingDirectory = {});
    ~TestProcess(); // closes the pipes and waits for the child (killing it if needed)
    TestProcess(const TestProcess&) = delete;
    TestProcess& operator=(const TestProcess&) = delete;

    // Writes one line to the child's standard input.
    void WriteLine(const std::string& line);
    // Reads one line (without its newline) from the child's standard output;
    // empty optional at the end of the stream.
    std::optional<std::string> ReadLine();
    // Everything the child writes to standard error, after it has exited.
    std::string ReadAllErrors();
    // Closes the child's standard input.
    void CloseInput();
    void Signal(int signal);
    // Waits for the child; its exit code, or 128 + the signal that ended it.
    int Wait();

private:
    pid_t pid_ = -1;
    std::FILE* input_ = nullptr;
    std::FILE* output_ = nullptr;
    std::FILE* errors_ = nullptr;
    std::optional<int> exitCode_;
};
