// The Windows build as a Windows service, under Wine's SCM (sc.exe and
// services.exe in the test prefix): QELCltCore.exe --install registers it,
// `sc start` starts it with the settings of its Parameters key, it serves a
// disk-info task and a game update, `sc stop` stops it with its log complete,
// a start without Pelkit.dll shows as a failed service with the core's status
// as its exit code, --uninstall stops and removes it. And it starts by itself
// with the next session (a restart of the PC), where a machine-wide variable
// wins over its Parameters value. Installed with an account, it takes the
// account's password from standard input or a file, never the command line.
#include "E2ESupport.h"

#include "checklist.h"
#include "maintenance_tasks.h"
#include "update_session.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <thread>

namespace fs = std::filesystem;

namespace e2e {
namespace {

constexpr const char* kHost = "C:\\QEL\\bin\\QELCltCore.exe";
constexpr uint32_t kServiceSpecificError = 1066; // ERROR_SERVICE_SPECIFIC_ERROR

bool Running(const std::optional<ServiceState>& state)
{
    return state && state->state == WineService::kRunning;
}

bool Stopped(const std::optional<ServiceState>& state)
{
    return state && state->state == WineService::kStopped;
}

std::string Describe(const std::optional<ServiceState>& state)
{
    if (!state) {
        return "(no such service)";
    }
    return "state " + std::to_string(state->state) + ", exit codes " + std::to_string(state->win32ExitCode) + "/" +
           std::to_string(state->serviceExitCode);
}

std::string RegistryOf(const WineService& service)
{
    return service
        .Run({"reg", "query", std::string("HKLM\\System\\CurrentControlSet\\Services\\") + WineService::kName})
        .output;
}

std::string ReadLog(const WineService& service)
{
    return ReadFileBytes(service.LogFile()).value_or("");
}

// The service's log once `message` is in it, or after a minute.
std::vector<std::string> LoggedOnce(const WineService& service, const std::string& message)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    for (;;) {
        std::vector<std::string> messages = LogMessages(ReadLog(service));
        if (CountMessage(messages, message) > 0 || std::chrono::steady_clock::now() >= deadline) {
            return messages;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The start line and the closing line (a time stamp and a space, then an
// empty line) that every start and stop of the core writes.
std::string StartLines()
{
    return "T QELCltCore.exe: " + msg::WriteModeFlag(0) + "\r\nT QELCltCore.exe: " + msg::StartedWork() + "\r\n";
}
const std::string kClosingLines = "T \r\n\r\n";

class WindowsServiceE2E : public testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = ClientWorld::Unavailable(World::Wine)) {
            GTEST_SKIP() << *reason;
        }
        service_ = std::make_unique<WineService>(std::vector<char>{'D'});
    }
    void TearDown() override
    {
        if (service_ && HasFailure()) {
            std::cerr << "-- the service's log:\n" << ReadableLog(ReadLog(*service_)) << "\n";
        }
        service_.reset();
    }

    std::unique_ptr<WineService> service_;
};

TEST_F(WindowsServiceE2E, InstallStartServeStopFailAndUninstall)
{
    WineService& service = *service_;
    const uint16_t port = FreeLoopbackPort();
    service.SetParameter("RAVELNET_PORT", std::to_string(port));

    // Registered: automatic start, LocalSystem, the command line the SCM runs.
    const CommandResult install = service.Run({kHost, "--install"});
    ASSERT_EQ(install.exitStatus, 0) << install.output;
    EXPECT_NE(install.output.find("installed the service QELClient"), std::string::npos) << install.output;
    const std::string registration = RegistryOf(service);
    EXPECT_NE(registration.find("\"C:\\QEL\\bin\\QELCltCore.exe\" --service"), std::string::npos) << registration;
    EXPECT_NE(registration.find("ObjectName    REG_SZ    LocalSystem"), std::string::npos) << registration;
    EXPECT_NE(registration.find("Start    REG_DWORD    0x2"), std::string::npos) << registration; // automatic
    EXPECT_NE(registration.find("Description    REG_SZ    Carries out"), std::string::npos) << registration;
    EXPECT_TRUE(Stopped(service.Query())) << Describe(service.Query());
    const CommandResult again = service.Run({kHost, "--install"});
    EXPECT_EQ(again.exitStatus, 1);
    EXPECT_NE(again.output.find("installed already"), std::string::npos) << again.output;

    // Started by the SCM, on the port of its Parameters key.
    const CommandResult start = service.Run({"sc", "start", WineService::kName});
    ASSERT_EQ(start.exitStatus, 0) << start.output;
    const auto running = service.WaitFor(Running);
    ASSERT_TRUE(Running(running)) << Describe(running);
    EXPECT_EQ(MaskTimeStamps(ReadLog(service)), StartLines());

    const qelsrv::Endpoint endpoint{"127.0.0.1", port};
    const qelsrv::DiskInfoResult disks = qelsrv::RunDiskInfoTask(endpoint);
    ASSERT_TRUE(disks.ok) << disks.error;
    ASSERT_EQ(disks.drives.size(), 2u);
    EXPECT_EQ(disks.drives[0].letter, 'C');
    EXPECT_EQ(disks.drives[1].letter, 'D');
    LoggedOnce(service, msg::DiskInfoDone());

    TempFolder server;
    PutFile(server.Path() / "game.cfg", "fullscreen=1");
    PutFile(server.Path() / "maps" / "one.map", Pattern(700000, 3));
    const qelsrv::CheckList list = qelsrv::BuildCheckList(server.Path());
    ASSERT_TRUE(list.ok());
    qelsrv::FileTaskSpec spec;
    std::string error;
    ASSERT_TRUE(qelsrv::MakeUpdateParams(9, "1.0", "D:\\Games\\Beta\\", false, spec.params, error)) << error;
    const qelsrv::SessionResult update =
        qelsrv::RunFileTaskSession(endpoint, spec, list, [](const qelsrv::SessionProgress&) {});
    ASSERT_EQ(update.outcome, qelsrv::SessionOutcome::Completed) << update.error;
    EXPECT_EQ(update.filesServed, 2u);
    std::map<std::string, FileState> received = FilesBelow(service.Drive('D') / "Games" / "Beta");
    EXPECT_EQ(received.erase("tarngamever/tarnGameVer.txt"), 1u); // the version marker
    EXPECT_EQ(received, FilesBelow(server.Path()));
    const std::string updated = msg::UpdateDone(2, 9, "D:\\Games\\Beta\\");
    LoggedOnce(service, updated);

    // sc stop: STOPPED is reported once the core has stopped, so its closing
    // lines end the log by then, after every task's lines.
    const CommandResult stop = service.Run({"sc", "stop", WineService::kName});
    ASSERT_EQ(stop.exitStatus, 0) << stop.output;
    const auto stopped = service.WaitFor(Stopped);
    ASSERT_TRUE(Stopped(stopped)) << Describe(stopped);
    EXPECT_EQ(stopped->win32ExitCode, 0u);
    const std::string log = MaskTimeStamps(ReadLog(service));
    EXPECT_TRUE(log.starts_with(StartLines())) << ReadableLog(log);
    EXPECT_TRUE(log.ends_with("\r\n" + kClosingLines)) << ReadableLog(log);
    const std::vector<std::string> messages = LogMessages(ReadLog(service));
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), updated); // the task's last line, then the stop's
    EXPECT_EQ(CountMessage(messages, msg::DiskInfoDone()), 1);

    // Without the helper library the core's start fails: a stopped service
    // with ERROR_SERVICE_SPECIFIC_ERROR and the core's status, -300000.
    fs::rename(service.InstallRoot() / "bin" / "Pelkit.dll", service.InstallRoot() / "Pelkit.dll.away");
    const CommandResult failing = service.Run({"sc", "start", WineService::kName});
    EXPECT_EQ(failing.exitStatus, 0) << failing.output; // the SCM started the process; the core then failed
    const auto failed = service.WaitFor(
        [](const std::optional<ServiceState>& state) { return Stopped(state) && state->win32ExitCode != 0; });
    ASSERT_TRUE(Stopped(failed)) << Describe(failed);
    EXPECT_EQ(failed->win32ExitCode, kServiceSpecificError);
    EXPECT_EQ(static_cast<int32_t>(failed->serviceExitCode), -300000);
    const std::vector<std::string> afterFailure = LogMessages(ReadLog(service));
    ASSERT_FALSE(afterFailure.empty());
    // 初始化环境失败:-300000,126 (ERROR_MOD_NOT_FOUND)
    EXPECT_TRUE(afterFailure.back().starts_with("\xb3\xf5\xca\xbc\xbb\xaf\xbb\xb7\xbe\xb3\xca\xa7\xb0\xdc:-300000,"))
        << ReadableLog(afterFailure.back());
    fs::rename(service.InstallRoot() / "Pelkit.dll.away", service.InstallRoot() / "bin" / "Pelkit.dll");

    // --uninstall stops the running service (its log closes) and removes it.
    const std::size_t logBefore = ReadLog(service).size();
    ASSERT_EQ(service.Run({"sc", "start", WineService::kName}).exitStatus, 0);
    ASSERT_TRUE(Running(service.WaitFor(Running)));
    const CommandResult uninstall = service.Run({kHost, "--uninstall"});
    ASSERT_EQ(uninstall.exitStatus, 0) << uninstall.output;
    EXPECT_NE(uninstall.output.find("removed the service QELClient"), std::string::npos) << uninstall.output;
    EXPECT_EQ(MaskTimeStamps(ReadLog(service).substr(logBefore)), StartLines() + kClosingLines);
    const auto gone = service.WaitFor([](const std::optional<ServiceState>& state) { return !state; });
    EXPECT_FALSE(gone) << Describe(gone);
    // Wine's sc says nothing more than its status for an unknown service.
    const CommandResult query = service.Run({"sc", "query", WineService::kName});
    EXPECT_NE(query.exitStatus, 0);
    EXPECT_EQ(query.output.find("STATE"), std::string::npos) << query.output;
    EXPECT_EQ(RegistryOf(service).find("ImagePath"), std::string::npos);
    const CommandResult twice = service.Run({kHost, "--uninstall"});
    EXPECT_EQ(twice.exitStatus, 1);
    EXPECT_NE(twice.output.find("not installed"), std::string::npos) << twice.output;
}

// An automatic service starts with the session; a variable the machine sets
// (RAVELNET_PORT here) is kept over the service's Parameters value, which
// would not even parse.
TEST_F(WindowsServiceE2E, StartsWithTheNextSessionKeepingMachineVariables)
{
    WineService& service = *service_;
    const uint16_t port = FreeLoopbackPort();
    service.SetParameter("RAVELNET_PORT", "not a port");
    service.SetMachineVariable("RAVELNET_PORT", std::to_string(port));
    ASSERT_EQ(service.Run({kHost, "--install", "--account", "LocalSystem"}).exitStatus, 0);

    service.Reboot();
    const auto running = service.WaitFor(Running);
    ASSERT_TRUE(Running(running)) << Describe(running);
    const qelsrv::DiskInfoResult disks = qelsrv::RunDiskInfoTask({"127.0.0.1", port});
    ASSERT_TRUE(disks.ok) << disks.error;
    EXPECT_EQ(disks.drives.size(), 2u);
    LoggedOnce(service, msg::DiskInfoDone());

    ASSERT_EQ(service.Run({kHost, "--uninstall"}).exitStatus, 0);
    EXPECT_EQ(MaskTimeStamps(ReadLog(service)),
              StartLines() + "T QELCltCore.exe: " + msg::DiskInfoDone() + "\r\n" + kClosingLines);
}

// The command line of every process now running (/proc/*/cmdline, the
// arguments joined by spaces); a Wine program's holds its Windows command line.
std::vector<std::string> CommandLines()
{
    std::vector<std::string> lines;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string line = ReadFileBytes(entry.path() / "cmdline").value_or("");
        std::replace(line.begin(), line.end(), '\0', ' ');
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> LinesHolding(const std::string& secret)
{
    std::vector<std::string> found;
    for (const std::string& line : CommandLines()) {
        if (line.find(secret) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

// An account's password travels on no command line: --password is refused,
// saying why; the password comes piped to standard input or from a file, and
// the service is registered with the account. Neither the processes that run
// while the installer waits for the password and once it is done, nor any
// program the install starts (strace sees each one) have it on their command
// line, and the service's registry key does not hold it either.
TEST_F(WindowsServiceE2E, InstallsWithAnAccountItsPasswordOnNoCommandLine)
{
    WineService& service = *service_;
    const std::string account = ".\\qelsvc";
    const std::string password = "Qel-pw-" + std::to_string(::getpid()) + "-x";
    const std::string registered = "ObjectName    REG_SZ    " + account;

    const CommandResult refused = service.Run({kHost, "--install", "--account", account, "--password", password});
    EXPECT_EQ(refused.exitStatus, 2) << refused.output;
    EXPECT_NE(refused.output.find("every process list"), std::string::npos) << refused.output;
    EXPECT_NE(refused.output.find("--password-file"), std::string::npos) << refused.output;
    const CommandResult nothing = service.Run({kHost, "--install", "--account", account});
    EXPECT_EQ(nothing.exitStatus, 2) << nothing.output;
    EXPECT_NE(nothing.output.find("no password given on standard input"), std::string::npos) << nothing.output;
    EXPECT_FALSE(service.Query()) << Describe(service.Query());

    // Piped to standard input.
    TempFolder scratch;
    const fs::path trace = scratch.Path() / "install.trace";
    std::unique_ptr<ChildProcess> installer =
        service.Launch({kHost, "--install", "--account", account},
                       {"strace", "-f", "-qq", "-e", "trace=execve", "-s", "4096", "-o", trace.string()});
    // Every command line the installer and the programs it starts had, from
    // the first to the last, is in the trace of their execve calls (checked
    // below); the process list is looked at once the installer is done.
    installer->WriteLine(password);
    installer->CloseInput();
    ASSERT_EQ(installer->Wait(Milliseconds(120000)), 0) << installer->ReadAllErrors();
    EXPECT_EQ(LinesHolding(password), std::vector<std::string>{});
    const std::string executed = ReadFileBytes(trace).value_or("");
    EXPECT_NE(executed.find("QELCltCore.exe\", \"--install\""), std::string::npos) << executed;
    EXPECT_EQ(executed.find(password), std::string::npos) << executed;
    std::string registration = RegistryOf(service);
    EXPECT_NE(registration.find(registered), std::string::npos) << registration;
    EXPECT_EQ(registration.find(password), std::string::npos) << registration;
    ASSERT_EQ(service.Run({kHost, "--uninstall"}).exitStatus, 0);

    // From a file.
    PutFile(service.InstallRoot() / "service-password.txt", password + "\r\n");
    const CommandResult fromFile =
        service.Run({kHost, "--install", "--account", account, "--password-file", "C:\\QEL\\service-password.txt"});
    ASSERT_EQ(fromFile.exitStatus, 0) << fromFile.output;
    EXPECT_NE(fromFile.output.find("account " + account), std::string::npos) << fromFile.output;
    registration = RegistryOf(service);
    EXPECT_NE(registration.find(registered), std::string::npos) << registration;
    EXPECT_EQ(registration.find(password), std::string::npos) << registration;
    ASSERT_EQ(service.Run({kHost, "--uninstall"}).exitStatus, 0);
}

} // namespace
} // namespace e2e
