#include "ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <future>
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

// The program to run: argv[0] itself when it names a path, else the first
// executable of that name on PATH (found before the fork, so that the child
// only makes system calls between fork and exec).
std::string ProgramPath(const std::string& program)
{
    if (program.find('/') != std::string::npos) {
        return program;
    }
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t start = 0; start <= folders.size();) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        const std::string candidate = folder + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return program; // exec reports ENOENT
}

// What a forked child does before exec: only system calls, and on a failure
// the errno through `report` and exit status 127.
[[noreturn]] void BecomeProgram(const char* program, char** argv, char** envp, pid_t parent, int inputFd, int outputFd,
                                int errorFd, const char* workingDirectory, int report)
{
    // A child must not outlive a test that crashes: it would keep its port,
    // its folders and the machine's cores for the rest of the run.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        ::_exit(127); // the test has already ended
    }
    const auto moveTo = [](int fd, int target, const char* orNull, int flags) {
        if (fd < 0) {
            fd = ::open(orNull, flags | O_CLOEXEC);
        }
        return fd >= 0 && (fd == target ? ::fcntl(fd, F_SETFD, 0) : ::dup2(fd, target)) >= 0;
    };
    if (moveTo(inputFd, 0, "/dev/null", O_RDONLY) && moveTo(outputFd, 1, "/dev/null", O_WRONLY) &&
        moveTo(errorFd, 2, "/dev/null", O_WRONLY) && (workingDirectory == nullptr || ::chdir(workingDirectory) == 0)) {
        ::execve(program, argv, envp);
    }
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(report, &error, sizeof error);
    ::_exit(127);
}

// Forks and execs `options` with standard input from `inputFd` (-1:
// /dev/null), standard output to `outputFd` and standard error to `errorFd`
// (-1: /dev/null). Throws when the program could not be started.
pid_t ForkAndExec(const ProcessOptions& options, int inputFd, int outputFd, int errorFd)
{
    const std::string program = ProgramPath(options.arguments[0]);
    std::vector<std::string> argumentTexts = options.arguments;
    std::vector<std::string> environmentTexts = MergedEnvironment(options.environment);
    std::vector<char*> argv = Pointers(argumentTexts);
    std::vector<char*> envp = Pointers(environmentTexts);
    const std::string workingDirectory = options.workingDirectory.string();

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        BecomeProgram(program.c_str(), argv.data(), envp.data(), parent, inputFd, outputFd, errorFd,
                      workingDirectory.empty() ? nullptr : workingDirectory.c_str(), report[1]);
    }
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        throw std::runtime_error("cannot start " + options.arguments[0] + ": fork failed");
    }
    int error = 0;
    ssize_t received;
    while ((received = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) { }
    ::close(report[0]);
    if (received > 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
        throw std::runtime_error("cannot start " + options.arguments[0] + ": " + std::strerror(error));
    }
    return pid;
}

// Every child is started by one thread that lives as long as this process:
// the parent-death signal fires when the thread that forked the child ends,
// and a test may start a child from a thread that ends before the child
// should.
pid_t Spawn(const ProcessOptions& options, int inputFd, int outputFd, int errorFd)
{
    if (options.arguments.empty()) {
        throw std::invalid_argument("no program to run");
    }
    struct Starter {
        std::mutex mutex;
        std::condition_variable queued;
        std::deque<std::packaged_task<pid_t()>> work;
    };
    static Starter* const starter = [] {
        auto* made = new Starter; // never destroyed: its thread runs until the process ends
        std::thread([made] {
            for (;;) {
                std::unique_lock lock(made->mutex);
                made->queued.wait(lock, [made] { return !made->work.empty(); });
                std::packaged_task<pid_t()> next = std::move(made->work.front());
                made->work.pop_front();
                lock.unlock();
                next();
            }
        }).detach();
        return made;
    }();
    std::packaged_task<pid_t()> start([&] { return ForkAndExec(options, inputFd, outputFd, errorFd); });
    std::future<pid_t> started = start.get_future();
    {
        std::lock_guard lock(starter->mutex);
        starter->work.push_back(std::move(start));
    }
    starter->queued.notify_one();
    return started.get();
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
