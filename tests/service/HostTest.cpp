// QELCltCore, started from an install folder: it announces that it runs,
// answers connections, and on SIGTERM stops the service and exits 0; when the
// service does not start it says why and exits non-zero.
#include "ExpectedLog.h"
#include "ServiceInstall.h"

#include "task_connection.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

namespace {

struct StartedHost {
    std::unique_ptr<ChildProcess> process;
    uint16_t port = 0;
    std::string announcement; // empty when the host did not start
    std::string errors;       // its standard error, when it did not start
};

// Starts the host of `install` on a free port. The port is free when it is
// chosen, but the host takes it only once it has started, and any other
// program may bind it in between: the host then ends with status 0 (its task
// server could not be opened) and is started again on another port. Nothing
// else in these tests' settings fails that open, so a host that fails every
// time is still reported.
StartedHost StartHostOnFreePort(ServiceInstall& install)
{
    constexpr int kAttempts = 5;
    for (int attempt = 1;; ++attempt) {
        StartedHost started;
        started.port = qeltest::FreeLoopbackPort();
        install.SetEnvironment("RAVELNET_PORT", std::to_string(started.port));
        started.process = install.StartHost();
        if (auto line = started.process->ReadLine()) {
            started.announcement = *line;
            return started;
        }
        started.process->Wait();
        started.errors = started.process->ReadAllErrors();
        if (attempt == kAttempts || started.errors.find("the service did not start: status 0,") == std::string::npos) {
            return started;
        }
        // The failed start's log line is no part of the test.
        std::filesystem::remove(install.LogPath());
    }
}

struct StopSignalCase {
    const char* name;
    int signal;
};

class HostRun : public testing::TestWithParam<StopSignalCase> { };

TEST_P(HostRun, RunsAnswersAndStopsOnTheSignal)
{
    ServiceInstall install;
    std::filesystem::create_directories(install.Root() / "drives" / "C");
    std::filesystem::create_directories(install.Root() / "drives" / "D");
    StartedHost started = StartHostOnFreePort(install);
    ChildProcess* host = started.process.get();
    const uint16_t port = started.port;

    const std::string& announcement = started.announcement;
    ASSERT_NE(announcement.find("running"), std::string::npos) << announcement << started.errors;
    EXPECT_NE(announcement.find("port " + std::to_string(port)), std::string::npos) << announcement;
    EXPECT_NE(announcement.find("C:\\ fixed, D:\\ fixed"), std::string::npos) << announcement;
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()),
              expected::Lines({expected::FlagLine(0), expected::SuccessLine()}));

    // A task of a type the service does not handle: closed with no answer.
    auto task = qelsrv::TaskConnection::Connect("127.0.0.1", port);
    task.SendHeader(19999, 0);
    task.ExpectClosed();

    host->Signal(GetParam().signal);
    EXPECT_EQ(host->Wait(), 0) << host->ReadAllErrors();
    EXPECT_EQ(expected::MaskTimeStamps(install.ReadLog()),
              expected::Lines({expected::FlagLine(0), expected::SuccessLine()}) + expected::kClosingLines);
}

INSTANTIATE_TEST_SUITE_P(Signals, HostRun,
                         testing::Values(StopSignalCase{"Term", SIGTERM}, StopSignalCase{"Interrupt", SIGINT}),
                         [](const testing::TestParamInfo<StopSignalCase>& info) { return info.param.name; });

TEST(Host, FailedStartReportsStatusAndDetailAndExitsNonZero)
{
    ServiceInstall install(PelkitBuild::None);
    auto host = install.StartHost();
    EXPECT_EQ(host->ReadLine(), std::nullopt);
    EXPECT_NE(host->Wait(), 0);
    const std::string errors = host->ReadAllErrors();
    EXPECT_NE(errors.find("status -300000"), std::string::npos) << errors;
    EXPECT_NE(errors.find("detail 126"), std::string::npos) << errors;
}

TEST(Host, MissingCoreIsReported)
{
    ServiceInstall install;
    std::filesystem::remove(install.Bin() / "libqekcore.so");
    auto host = install.StartHost();
    EXPECT_NE(host->Wait(), 0);
    const std::string errors = host->ReadAllErrors();
    EXPECT_NE(errors.find("QekCore.dll"), std::string::npos) << errors;
}

} // namespace
