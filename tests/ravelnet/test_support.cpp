#include "test_support.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace ravelnet_test {
namespace {

#ifdef _WIN32
// The library reads the process environment, not a C runtime's copy (whose
// _putenv cannot even hold an empty value).
std::optional<std::string> ReadVariable(const char* name)
{
    char value[4096];
    ::SetLastError(ERROR_SUCCESS);
    DWORD length = ::GetEnvironmentVariableA(name, value, sizeof value);
    if (length == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        return std::nullopt;
    return std::string(value, length < sizeof value ? length : 0);
}
#else
std::optional<std::string> ReadVariable(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}
#endif

void WriteVariable(const char* name, const std::optional<std::string>& value)
{
#ifdef _WIN32
    ::SetEnvironmentVariableA(name, value ? value->c_str() : nullptr);
#else
    if (value)
        ::setenv(name, value->c_str(), 1);
    else
        ::unsetenv(name);
#endif
}

std::mutex& ServersMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Which TestServer a callback belongs to: the library passes the server's
// handle as the callback's context.
std::map<RavelnetServer, TestServer*>& ServersByHandle()
{
    static std::map<RavelnetServer, TestServer*> servers;
    return servers;
}

} // namespace

ScopedEnvironment::ScopedEnvironment(const char* name, std::optional<std::string> value)
    : name_(name), previous_(ReadVariable(name))
{
    WriteVariable(name, value);
}

ScopedEnvironment::~ScopedEnvironment()
{
    WriteVariable(name_.c_str(), previous_);
}

RavelnetServerSettings LoopbackSettings(uint16_t port)
{
    RavelnetServerSettings settings;
    std::memset(&settings, 0xCC, sizeof settings); // what the caller leaves unfilled
    std::memset(settings.listenAddress, 0, sizeof settings.listenAddress);
    std::strcpy(settings.listenAddress, "127.0.0.1");
    settings.port = port;
    settings.one = 1;
    return settings;
}

void Signal::Raise()
{
    {
        std::lock_guard lock(mutex_);
        raised_ = true;
    }
    changed_.notify_all();
}

bool Signal::WaitFor(std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return raised_; });
}

bool Signal::IsRaised()
{
    std::lock_guard lock(mutex_);
    return raised_;
}

TestServer::TestServer(Task task, const RavelnetServerSettings& settings) : task_(std::move(task))
{
    unsigned char unused[8] = {};
    // Registered before the callback is set, so that no task can miss it.
    handle_ = RavelnetOpenServer(&settings, unused);
    if (handle_ == 0)
        return;
    {
        std::lock_guard lock(ServersMutex());
        ServersByHandle()[handle_] = this;
    }
    RavelnetSetTaskHandler(handle_, &TestServer::OnTask);
}

TestServer::~TestServer()
{
    Close();
}

int TestServer::Close()
{
    if (handle_ == 0)
        return RAVELNET_E_HANDLE;
    int result = RavelnetCloseServer(handle_);
    std::lock_guard lock(ServersMutex());
    ServersByHandle().erase(handle_);
    handle_ = 0;
    return result;
}

uint16_t TestServer::Port() const
{
    int port = RavelnetServerPort(handle_);
    return port > 0 ? static_cast<uint16_t>(port) : 0;
}

qelsrv::TaskConnection TestServer::Connect(const std::string& from) const
{
    auto connection = qelsrv::TaskConnection::ConnectFrom(from, "127.0.0.1", Port());
    connection.SetTimeout(kPatience);
    return connection;
}

RavelnetServerStats TestServer::Stats() const
{
    RavelnetServerStats stats{};
    RavelnetGetServerStats(handle_, &stats);
    return stats;
}

bool TestServer::WaitForStats(const std::function<bool(const RavelnetServerStats&)>& holds) const
{
    // The counters change on the server's own thread and nothing signals
    // them: look again until they hold, within the tests' patience.
    const auto giveUp = std::chrono::steady_clock::now() + kPatience;
    while (!holds(Stats())) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

uint32_t TestServer::OnTask(RavelnetConnection connection, uint32_t context, const RavelnetTaskHeader* header,
                            uint32_t reserved)
{
    (void)reserved;
    TestServer* server;
    {
        std::lock_guard lock(ServersMutex());
        auto found = ServersByHandle().find(context);
        if (found == ServersByHandle().end())
            return 1;
        server = found->second;
    }
    server->callbacks_.fetch_add(1);
    server->task_(connection, *header);
    return 1;
}

bool RunningUnderWine()
{
#ifdef _WIN32
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

std::vector<std::byte> Pattern(std::size_t length, uint32_t seed)
{
    std::vector<std::byte> bytes(length);
    uint32_t state = seed * 2654435761u + 1;
    for (std::byte& b : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = static_cast<std::byte>(state >> 24);
    }
    return bytes;
}

ReplyWords MakeReply(uint32_t resultCode, uint32_t dataLength)
{
    return ReplyWords{{0, 0, resultCode, 0, dataLength}};
}

} // namespace ravelnet_test
