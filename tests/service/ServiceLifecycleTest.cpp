// QEK_StartService and QEK_StopService, run in a driver process of their own
// in a fresh install folder: the write-mode setting, the order and lines of a
// start and a stop, the helper library binding, and what a stopped service
// does with a task.
#include "ExpectedLog.h"
#include "ServiceInstall.h"

#include "task_connection.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

constexpr const char* kDetailUntouched = "1515870810"; // the driver's initial detail
constexpr int kHelperLibraryMissing = -300000;
constexpr int kModNotFound = 126;  // ERROR_MOD_NOT_FOUND
constexpr int kProcNotFound = 127; // ERROR_PROC_NOT_FOUND

std::string RegistryWithValue(const std::string& valueData)
{
    return "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1\\LomvarkPro]\r\n"
           "\"QELClt_NoBufWrite\"=" +
           valueData + "\r\n";
}

std::string StartedLog(int flag)
{
    return expected::Lines({expected::FlagLine(flag), expected::SuccessLine()});
}

// The number in the driver's answer to `command` ("port", "opens", "drops").
int DriverNumber(ChildProcess& driver, const std::string& command)
{
    const std::string answer = Ask(driver, command);
    EXPECT_EQ(answer.rfind(command + " ", 0), 0u) << answer;
    return std::stoi(answer.substr(answer.find(' ') + 1));
}

uint16_t DriverPort(ChildProcess& driver)
{
    return static_cast<uint16_t>(DriverNumber(driver, "port"));
}

// Sends a task header of `type` and reads until the client closes the
// connection; returns the bytes the client sent.
std::vector<std::byte> SendTaskAndDrain(uint16_t port, uint32_t type)
{
    auto task = qelsrv::TaskConnection::Connect("127.0.0.1", port);
    task.SendHeader(type, 0);
    task.FinishSending();
    std::vector<std::byte> received;
    for (;;) {
        std::byte next[1];
        try {
            task.Receive(next);
        } catch (const qelsrv::TransferError&) {
            return received;
        }
        received.push_back(next[0]);
    }
}

// A listening socket that holds a port, so that the service cannot open it.
class PortHolder {
public:
    PortHolder()
    {
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = 0;
        ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(socket_, 1);
        socklen_t length = sizeof address;
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~PortHolder() { ::close(socket_); }
    uint16_t Port() const { return port_; }

private:
    int socket_ = -1;
    uint16_t port_ = 0;
};

// ---- The write-mode setting -----------------------------------------------

struct SettingCase {
    const char* name;
    std::optional<std::string> registry; // none: no registry file at all
    int flag;
};

class WriteModeSetting : public testing::TestWithParam<SettingCase> { };

TEST_P(WriteModeSetting, IsReadAtLoadAndReportedByTheFlagLine)
{
    ServiceInstall install;
    if (GetParam().registry) {
        install.WriteRegistry(*GetParam().registry);
    }
    auto driver = install.StartDriver();
    EXPECT_EQ(Ask(*driver, "start"), std::string("start 1 ") + kDetailUntouched);
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()), StartedLog(GetParam().flag));
    EXPECT_EQ(Ask(*driver, "stop"), "stop 1");
}

INSTANTIATE_TEST_SUITE_P(
    Values, WriteModeSetting,
    testing::Values(SettingCase{"KeyMissing", std::nullopt, 0},
                    SettingCase{"ValueMissing",
                                "Windows Registry Editor Version 5.00\r\n\r\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1\\LomvarkPro]\r\n"
                                "\"Other\"=\"1\"\r\n",
                                0},
                    SettingCase{"TextOne", RegistryWithValue("\"1\""), 1},
                    SettingCase{"TextZero", RegistryWithValue("\"0\""), 0},
                    SettingCase{"TextZeroOne", RegistryWithValue("\"01\""), 0},
                    SettingCase{"TextTrue", RegistryWithValue("\"true\""), 0},
                    SettingCase{"TextOneSpace", RegistryWithValue("\"1 \""), 0},
                    SettingCase{"TextEmpty", RegistryWithValue("\"\""), 0},
                    SettingCase{"DwordOne", RegistryWithValue("dword:00000001"), 0},
                    // 19 characters and the terminator fill the buffer exactly.
                    SettingCase{"TextOf19Characters", RegistryWithValue("\"1111111111111111111\""), 0},
                    // 20 characters: the value fills the buffer with no terminator.
                    SettingCase{"TextOf20Characters", RegistryWithValue("\"11111111111111111111\""), 0},
                    SettingCase{"TextLongerThanTheBuffer",
                                RegistryWithValue("\"1                                      \""), 0},
                    SettingCase{"OtherKeyOnly",
                                "Windows Registry Editor Version 5.00\r\n\r\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1\\Other]\r\n"
                                "\"QELClt_NoBufWrite\"=\"1\"\r\n",
                                0}),
    [](const testing::TestParamInfo<SettingCase>& info) { return info.param.name; });

// ---- Start and stop ---------------------------------------------------------

TEST(ServiceLifecycle, StartWritesExactlyTwoLinesAndStopClosesTheLog)
{
    ServiceInstall install;
    install.WriteRegistry(RegistryWithValue("\"1\""));
    auto driver = install.StartDriver();

    EXPECT_EQ(Ask(*driver, "start"), std::string("start 1 ") + kDetailUntouched);
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()), StartedLog(1));
    EXPECT_EQ(Ask(*driver, "opens"), "opens 1");
    EXPECT_EQ(Ask(*driver, "pelkit"), "pelkit loaded");

    EXPECT_EQ(Ask(*driver, "stop"), "stop 1");
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()), StartedLog(1) + expected::kClosingLines);
    EXPECT_EQ(Ask(*driver, "pelkit"), "pelkit unloaded");
    // The debugger gets each message without its time stamp and with "\n",
    // then the stop's "\r\n" and "\n".
    EXPECT_EQ(install.ReadDebugOutput(), expected::FlagLine(1) + "\n" + expected::SuccessLine() + "\n" + "\r\n" + "\n");
}

TEST(ServiceLifecycle, SecondStartWhileRunningReturnsOneAndWritesNothing)
{
    ServiceInstall install;
    auto driver = install.StartDriver();
    ASSERT_EQ(Ask(*driver, "start"), std::string("start 1 ") + kDetailUntouched);
    EXPECT_EQ(Ask(*driver, "start"), std::string("start 1 ") + kDetailUntouched);
    EXPECT_EQ(Ask(*driver, "opens"), "opens 1");
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()), StartedLog(0));
}

TEST(ServiceLifecycle, StopBeforeStartTouchesNothing)
{
    ServiceInstall install;
    auto driver = install.StartDriver();
    EXPECT_EQ(Ask(*driver, "stop"), "stop 1");
    EXPECT_EQ(Ask(*driver, "pelkit"), "pelkit unloaded");
    EXPECT_FALSE(std::filesystem::exists(install.Root() / "log"));
    EXPECT_EQ(install.ReadDebugOutput(), "");
}

TEST(ServiceLifecycle, SecondStopDoesNothing)
{
    ServiceInstall install;
    auto driver = install.StartDriver();
    ASSERT_EQ(Ask(*driver, "start"), std::string("start 1 ") + kDetailUntouched);
    ASSERT_EQ(Ask(*driver, "stop"), "stop 1");
    const std::string debugOutput = install.ReadDebugOutput();

    EXPECT_EQ(Ask(*driver, "stop"), "stop 1");
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()), StartedLog(0) + expected::kClosingLines);
    EXPECT_EQ(install.ReadDebugOutput(), debugOutput);
}

TEST(ServiceLifecycle, StartAfterStopRunsAgainOnTheServerAlreadyOpen)
{
    ServiceInstall install;
    auto driver = install.StartDriver();
    ASSERT_EQ(Ask(*driver, "start"), std::string("start 1 ") + kDetailUntouched);
    const uint16_t port = DriverPort(*driver);
    ASSERT_EQ(Ask(*driver, "stop"), "stop 1");

    EXPECT_EQ(Ask(*driver, "start"), std::string("start 1 ") + kDetailUntouched);
    EXPECT_EQ(Ask(*driver, "opens"), "opens 1");
    EXPECT_EQ(Ask(*driver, "pelkit"), "pelkit loaded");
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()), StartedLog(0) + expected::kClosingLines + StartedLog(0));

    // The server opened by the first start serves the restarted service.
    const int drops = DriverNumber(*driver, "drops");
    EXPECT_TRUE(SendTaskAndDrain(port, 20004).empty());
    EXPECT_EQ(DriverNumber(*driver, "drops"), drops + 1);

    EXPECT_EQ(Ask(*driver, "stop"), "stop 1");
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()),
              StartedLog(0) + expected::kClosingLines + StartedLog(0) + expected::kClosingLines);
}

TEST(ServiceLifecycle, InstallPathLongerThanThePathBuffersBuildsNoRelativePath)
{
    // The executable's path does not fit the service's 256- and 260-byte
    // buffers: no folder to find the log and the helper library in.
    ServiceInstall install(PelkitBuild::Full, std::string(120, 'a') + "/" + std::string(120, 'b'));
    ASSERT_GT(install.Bin().string().size(), 260u);
    auto driver = install.StartDriver();

    // The helper library is not looked for anywhere else (ERROR_INSUFFICIENT_BUFFER).
    EXPECT_EQ(Ask(*driver, "start"), "start -300000 122");
    EXPECT_EQ(Ask(*driver, "pelkit"), "pelkit unloaded");
    EXPECT_EQ(Ask(*driver, "opens"), "opens 0");
    // No "..\log\" beside the executable nor beside the working directory.
    EXPECT_FALSE(std::filesystem::exists(install.Root() / "log"));
    EXPECT_FALSE(std::filesystem::exists(install.WorkingDirectory() / ".." / "log"));
    EXPECT_EQ(install.ReadDebugOutput(), expected::StartFailureLine(-300000, 122) + "\n");
}

// ---- The helper library -----------------------------------------------------

struct BindingCase {
    const char* name;
    PelkitBuild pelkit;
    int status;
    int systemError; // the detail and the second number of the failure line
};

class HelperLibraryBinding : public testing::TestWithParam<BindingCase> { };

TEST_P(HelperLibraryBinding, FailsTheStartWithoutTheLibraryOrARequiredName)
{
    const BindingCase& c = GetParam();
    ServiceInstall install(c.pelkit);
    auto driver = install.StartDriver();

    EXPECT_EQ(Ask(*driver, "start"), "start " + std::to_string(c.status) + " " + std::to_string(c.systemError));
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()),
              expected::Lines({expected::StartFailureLine(c.status, c.systemError)}));
    // The task server is not opened, and the failed start keeps nothing loaded.
    EXPECT_EQ(Ask(*driver, "opens"), "opens 0");
    EXPECT_EQ(Ask(*driver, "pelkit"), "pelkit unloaded");
    // Stopping a service that failed to start does nothing.
    EXPECT_EQ(Ask(*driver, "stop"), "stop 1");
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()),
              expected::Lines({expected::StartFailureLine(c.status, c.systemError)}));

    // With the complete library in place, a later start runs the start-up again.
    install.InstallPelkit(PelkitBuild::Full);
    EXPECT_EQ(Ask(*driver, "start"), std::string("start 1 ") + kDetailUntouched);
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()),
              expected::Lines({expected::StartFailureLine(c.status, c.systemError)}) + StartedLog(0));
    EXPECT_EQ(Ask(*driver, "stop"), "stop 1");
    EXPECT_EQ(Ask(*driver, "pelkit"), "pelkit unloaded");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, HelperLibraryBinding,
    testing::Values(BindingCase{"LibraryMissing", PelkitBuild::None, kHelperLibraryMissing, kModNotFound},
                    BindingCase{"WithoutUnzipFile", PelkitBuild::NoUnzip, kHelperLibraryMissing, kProcNotFound}),
    [](const testing::TestParamInfo<BindingCase>& info) { return info.param.name; });

TEST(HelperLibraryBindingOptional, TheTwoMd5NamesMayBeMissing)
{
    ServiceInstall install(PelkitBuild::NoMd5);
    auto driver = install.StartDriver();
    EXPECT_EQ(Ask(*driver, "start"), std::string("start 1 ") + kDetailUntouched);
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()), StartedLog(0));
    EXPECT_EQ(Ask(*driver, "pelkit"), "pelkit loaded");
}

// ---- The task server cannot be opened ----------------------------------------

struct OpenFailureCase {
    const char* name;
    const char* allow; // RAVELNET_ALLOW, or null to keep the default
    bool portTaken;
};

class TaskServerOpenFailure : public testing::TestWithParam<OpenFailureCase> { };

TEST_P(TaskServerOpenFailure, GivesStatusZeroAndOnlyTheFlagLine)
{
    ServiceInstall install;
    PortHolder holder;
    if (GetParam().portTaken) {
        install.SetEnvironment("RAVELNET_PORT", std::to_string(holder.Port()));
    }
    if (GetParam().allow != nullptr) {
        install.SetEnvironment("RAVELNET_ALLOW", GetParam().allow);
    }
    auto driver = install.StartDriver();

    EXPECT_EQ(Ask(*driver, "start"), std::string("start 0 ") + kDetailUntouched);
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()), expected::Lines({expected::FlagLine(0)}));
    EXPECT_EQ(Ask(*driver, "pelkit"), "pelkit unloaded");
    EXPECT_EQ(Ask(*driver, "stop"), "stop 1");
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()), expected::Lines({expected::FlagLine(0)}));
}

INSTANTIATE_TEST_SUITE_P(Failures, TaskServerOpenFailure,
                         testing::Values(OpenFailureCase{"PortInUse", nullptr, true},
                                         OpenFailureCase{"MalformedAllowList", "not-an-address", false}),
                         [](const testing::TestParamInfo<OpenFailureCase>& info) { return info.param.name; });

TEST(TaskServerOpenFailure, StandardExceptionGivesItsStatusDetailAndMessage)
{
    ServiceInstall install;
    install.SetEnvironment("QEL_TEST_OPEN_THROWS", "transport failed");
    auto driver = install.StartDriver();

    // 110012, the last error at the catch (ERROR_INVALID_ADDRESS, 487), and the
    // exception's text in place of the flag line.
    EXPECT_EQ(Ask(*driver, "start"), "start 110012 487");
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()),
              expected::Lines({expected::StartExceptionLine("transport failed")}));
    EXPECT_EQ(Ask(*driver, "pelkit"), "pelkit unloaded");
    EXPECT_EQ(Ask(*driver, "stop"), "stop 1");
}

// ---- Tasks over the transport --------------------------------------------------

TEST(TaskDispatch, UnknownTypesGoBackToTheTransportWithoutLineOrReply)
{
    ServiceInstall install;
    auto driver = install.StartDriver();
    ASSERT_EQ(Ask(*driver, "start"), std::string("start 1 ") + kDetailUntouched);
    const uint16_t port = DriverPort(*driver);

    int drops = DriverNumber(*driver, "drops");
    for (const uint32_t type : {19999u, 20004u, 0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(type);
        EXPECT_TRUE(SendTaskAndDrain(port, type).empty());
        EXPECT_EQ(DriverNumber(*driver, "drops"), ++drops);
    }
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()), StartedLog(0));
    EXPECT_EQ(install.ReadDebugOutput(), expected::FlagLine(0) + "\n" + expected::SuccessLine() + "\n");
}

TEST(TaskDispatch, KnownTypesReachTheirHandlers)
{
    ServiceInstall install;
    auto driver = install.StartDriver();
    ASSERT_EQ(Ask(*driver, "start"), std::string("start 1 ") + kDetailUntouched);
    const uint16_t port = DriverPort(*driver);

    const int drops = DriverNumber(*driver, "drops");
    for (const uint32_t type : {20000u, 20001u, 20002u, 20003u}) {
        SCOPED_TRACE(type);
        SendTaskAndDrain(port, type); // whatever the handler answers
    }
    EXPECT_EQ(DriverNumber(*driver, "drops"), drops);
}

TEST(TaskDispatch, TasksAfterAStopAreRefusedWithoutTouchingTheLog)
{
    ServiceInstall install;
    auto driver = install.StartDriver();
    ASSERT_EQ(Ask(*driver, "start"), std::string("start 1 ") + kDetailUntouched);
    const uint16_t port = DriverPort(*driver);
    ASSERT_EQ(Ask(*driver, "stop"), "stop 1");
    const std::string debugOutput = install.ReadDebugOutput();

    int drops = DriverNumber(*driver, "drops");
    for (const uint32_t type : {20000u, 20001u, 20002u, 20003u, 19999u}) {
        SCOPED_TRACE(type);
        EXPECT_TRUE(SendTaskAndDrain(port, type).empty());
        EXPECT_EQ(DriverNumber(*driver, "drops"), ++drops);
    }
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()), StartedLog(0) + expected::kClosingLines);
    EXPECT_EQ(install.ReadDebugOutput(), debugOutput);
}

// ---- The exported interface ----------------------------------------------------

TEST(ExportedInterface, OnlyTheTwoEntryPointsAreExported)
{
    ServiceInstall install;
    auto driver = install.StartDriver();
    EXPECT_EQ(Ask(*driver, "lookup QEK_StartService"), "lookup QEK_StartService found");
    EXPECT_EQ(Ask(*driver, "lookup QEK_StopService"), "lookup QEK_StopService found");
    for (const char* inner : {"OnTask", "_Z6OnTaskjjPK18RavelnetTaskHeaderj", "_Z9ModuleLogv", "_Z14TheSyncServicev",
                              "ServiceAcceptsTasks"}) {
        EXPECT_EQ(Ask(*driver, std::string("lookup ") + inner), std::string("lookup ") + inner + " missing");
    }
}

} // namespace
