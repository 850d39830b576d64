#include "TestProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe MakePipe()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    return {fds[0], fds[1]};
}

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::optional<std::string>>& changes)
{
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (changes.count(name) == 0) {
            result.push_back(text);
        }
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            result.push_back(name + "=" + *value);
        }
    }
    return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

TestProcess::TestProcess(const std::string& executable, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::optional<std::string>>& environment,
                         const std::string& workingDirectory)
{
    const Pipe in = MakePipe();
    const Pipe out = MakePipe();
    const Pipe err = MakePipe();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write, 2);
    if (!workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    }

    std::vector<std::string> argumentTexts{executable};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environmentTexts = MergedEnvironment(environment);
    std::vector<char*> argv = Pointers(argumentTexts);
    std::vector<char*> envp = Pointers(environmentTexts);

    const int spawned = posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in.read);
    close(out.write);
    close(err.write);
    if (spawned != 0) {
        close(in.write);
        close(out.read);
        close(err.read);
        throw std::runtime_error("cannot start " + executable + ": " + std::strerror(spawned));
    }
    input_ = fdopen(in.write, "w");
    output_ = fdopen(out.read, "r");
    errors_ = fdopen(err.read, "r");
}

TestProcess::~TestProcess()
{
    CloseInput();
    if (!exitCode_) {
        // A child that outlives its test would keep ports and folders.
        kill(pid_, SIGKILL);
        Wait();
    }
    std::fclose(output_);
    std::fclose(errors_);
}

void TestProcess::WriteLine(const std::string& line)
{
    std::fputs((line + "\n").c_str(), input_);
    std::fflush(input_);
}

std::optional<std::string> TestProcess::ReadLine()
{
    std::string line;
    int c;
    while ((c = std::fgetc(output_)) != EOF) {
        if (c == '\n') {
            return line;
        }
        line.push_back(static_cast<char>(c));
    }
    if (line.empty()) {
        return std::nullopt;
    }
    return line;
}

std::string TestProcess::ReadAllErrors()
{
    std::string text;
    int c;
    while ((c = std::fgetc(errors_)) != EOF) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

void TestProcess::CloseInput()
{
    if (input_ != nullptr) {
        std::fclose(input_);
        input_ = nullptr;
    }
}

void TestProcess::Signal(int signal)
{
    kill(pid_, signal);
}

int TestProcess::Wait()
{
    if (exitCode_) {
        return *exitCode_;
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return *exitCode_;
}
