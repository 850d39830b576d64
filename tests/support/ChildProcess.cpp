#include "ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace qeltest {
namespace {

std::vector<std::string> MergedEnvironment(const EnvironmentChanges& changes)
{
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (changes.count(text.substr(0, text.find('='))) == 0) {
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

int StatusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    return WIFSIGNALED(waitStatus) ? 128 + WTERMSIG(waitStatus) : -1;
}

// Spawns `options` with standard input from `inputFd` (-1: /dev/null),
// standard output to `outputFd` and standard error to `errorFd` (-1:
// /dev/null).
pid_t Spawn(const ProcessOptions& options, int inputFd, int outputFd, int errorFd)
{
    if (options.arguments.empty()) {
        throw std::invalid_argument("no program to run");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (inputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, inputFd, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    if (errorFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, errorFd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    if (!options.workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
    }
    std::vector<std::string> argumentTexts = options.arguments;
    std::vector<std::string> environmentTexts = MergedEnvironment(options.environment);
    std::vector<char*> argv = Pointers(argumentTexts);
    std::vector<char*> envp = Pointers(environmentTexts);

    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("cannot start " + options.arguments[0] + ": " + std::strerror(error));
    }
    return pid;
}

// A file with no name that only this process and its child hold.
int UnnamedFile()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "qel-child-errors-XXXXXX").string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("mkostemp failed");
    }
    ::unlink(pattern.c_str());
    return fd;
}

void CloseAll(std::initializer_list<int> fds)
{
    for (int fd : fds) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

} // namespace

ChildProcess::ChildProcess(const ProcessOptions& options)
{
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    int input[2] = {-1, -1};
    if (options.inputPipe && pipe2(input, O_CLOEXEC) != 0) {
        CloseAll({output[0], output[1]});
        throw std::runtime_error("pipe2 failed");
    }
    int errorFd = -1;
    if (options.captureErrors) {
        errors_ = UnnamedFile();
        errorFd = errors_;
    } else if (!options.errorFile.empty()) {
        errorFd = ::open(options.errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    try {
        pid_ = Spawn(options, input[0], output[1], errorFd);
    } catch (...) {
        CloseAll({output[0], output[1], input[0], input[1], errorFd});
        throw;
    }
    CloseAll({output[1], input[0]});
    if (errorFd >= 0 && errorFd != errors_) {
        ::close(errorFd);
    }
    output_ = output[0];
    input_ = input[1];
}

ChildProcess::~ChildProcess()
{
    CloseInput();
    if (!exitStatus_ && pid_ > 0) {
        // A child that outlives its test would keep ports and folders.
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    CloseAll({output_, errors_});
}

void ChildProcess::WriteLine(const std::string& line)
{
    const std::string text = line + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t done = ::write(input_, text.data() + written, text.size() - written);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            throw std::runtime_error("cannot write to the child's standard input");
        }
        written += static_cast<std::size_t>(done);
    }
}

void ChildProcess::CloseInput()
{
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
}

std::optional<std::string> ChildProcess::ReadLine(Milliseconds limit)
{
    return NextLine(std::chrono::steady_clock::now() + limit);
}

std::optional<std::string> ChildProcess::ReadLine()
{
    return NextLine(std::nullopt);
}

std::optional<std::string> ChildProcess::NextLine(std::optional<std::chrono::steady_clock::time_point> deadline)
{
    for (;;) {
        const std::size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        if (outputEnded_) {
            if (pending_.empty()) {
                return std::nullopt;
            }
            return std::exchange(pending_, std::string());
        }
        int timeout = -1;
        if (deadline) {
            const auto left = std::chrono::duration_cast<Milliseconds>(*deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            timeout = static_cast<int>(left.count());
        }
        pollfd wait{output_, POLLIN, 0};
        if (::poll(&wait, 1, timeout) <= 0) {
            continue; // time-out or interruption: the deadline decides
        }
        char buffer[4096];
        const ssize_t received = ::read(output_, buffer, sizeof buffer);
        if (received > 0) {
            pending_.append(buffer, static_cast<std::size_t>(received));
        } else if (received == 0 || errno != EINTR) {
            outputEnded_ = true;
        }
    }
}

void ChildProcess::Signal(int signal)
{
    if (!exitStatus_) {
        ::kill(pid_, signal);
    }
}

std::optional<int> ChildProcess::Wait(Milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exitStatus_) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitStatus_ = StatusOf(status);
        } else if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        } else {
            std::this_thread::sleep_for(Milliseconds(20));
        }
    }
    return exitStatus_;
}

int ChildProcess::Wait()
{
    while (!exitStatus_) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, 0);
        if (done == pid_) {
            exitStatus_ = StatusOf(status);
        } else if (done < 0 && errno != EINTR) {
            throw std::runtime_error("waitpid failed");
        }
    }
    return *exitStatus_;
}

std::string ChildProcess::ReadAllErrors()
{
    Wait();
    std::string text;
    char buffer[4096];
    for (off_t at = 0;;) {
        const ssize_t received = ::pread(errors_, buffer, sizeof buffer, at);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(received));
        at += received;
    }
}

CommandResult RunCommand(const std::vector<std::string>& arguments, const EnvironmentChanges& environment,
                         const std::filesystem::path& workingDirectory)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    ProcessOptions options{arguments, environment, workingDirectory, {}};
    pid_t pid = -1;
    try {
        pid = Spawn(options, -1, fds[1], fds[1]);
    } catch (...) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw;
    }
    ::close(fds[1]);
    CommandResult result;
    char buffer[4096];
    for (;;) {
        const ssize_t received = ::read(fds[0], buffer, sizeof buffer);
        if (received > 0) {
            result.output.append(buffer, static_cast<std::size_t>(received));
        } else if (received == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    result.exitStatus = StatusOf(status);
    return result;
}

namespace {

// Whether a listener could bind the loopback port now.
bool LoopbackPortIsFree(uint16_t port)
{
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool free = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return free;
}

// The first port of the system's ephemeral range (32768 unless configured).
int FirstEphemeralPort()
{
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    int low = 0;
    return range >> low && low > 2048 ? low : 32768;
}

} // namespace

uint16_t FreeLoopbackPort()
{
    // The port is free when chosen but taken by the host only later, seconds
    // later under Wine. A port of the ephemeral range could meanwhile become
    // the local end of any connection that a test makes; below that range
    // only another listener can take it, and a random pick makes two tests
    // choosing the same one unlikely.
    static std::mutex mutex;
    static std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
    const int high = FirstEphemeralPort() - 1;
    std::uniform_int_distribution<int> ports(std::max(1024, high - 12000), high);
    std::lock_guard<std::mutex> lock(mutex);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const auto port = static_cast<uint16_t>(ports(random));
        if (LoopbackPortIsFree(port)) {
            return port;
        }
    }
    throw std::runtime_error("no free loopback port below the ephemeral range");
}

} // namespace qeltest
