// The installed host, in both worlds: it announces the drives as the
// platform reports them, reads the write-mode value from the registry, drops a
// task of a type it does not handle, and stops the service cleanly on Ctrl+C.
#include "E2ESupport.h"

#include "task_connection.h"

namespace e2e {
namespace {

class HostE2E : public WorldTest { };

TEST_P(HostE2E, AnnouncesTheDrivesAndStopsCleanlyOnCtrlC)
{
    Client().MapDrives({{'D'}, {'E', DriveKind::Cdrom}, {'F'}, {'G', DriveKind::Remote}, {'H', DriveKind::Removable}});
    Client().Start();
    EXPECT_NE(Client().Announcement().find("drives: C:\\ fixed, D:\\ fixed, E:\\ cdrom, F:\\ fixed, G:\\ remote, "
                                           "H:\\ removable"),
              std::string::npos)
        << Client().Announcement();
    EXPECT_EQ(MaskTimeStamps(Client().ReadLog()),
              "T QELCltCore.exe: " + msg::WriteModeFlag(0) + "\r\nT QELCltCore.exe: " + msg::StartedWork() + "\r\n");

    // A task of a type the service does not handle goes back to the
    // transport, which closes it without an answer.
    auto task = qelsrv::TaskConnection::Connect("127.0.0.1", Client().Endpoint().port);
    task.SendHeader(19999, 0);
    task.ExpectClosed();

    EXPECT_EQ(Client().StopWithCtrlC(), 0);
    // The closing line: a time stamp and a space, then an empty line.
    EXPECT_EQ(MaskTimeStamps(Client().ReadLog()), "T QELCltCore.exe: " + msg::WriteModeFlag(0) +
                                                      "\r\nT QELCltCore.exe: " + msg::StartedWork() + "\r\nT \r\n\r\n");
}

// Closing the console window (CTRL_CLOSE_EVENT) takes the same path as Ctrl+C
// in StopSignal_windows.cpp, then holds the process until the service has
// stopped. It cannot be produced here: under Wine the host runs without a
// console window (there is no display), and only closing that window sends
// the event. On Linux the session's end is SIGTERM, which the service tests
// cover (tests/service/HostTest.cpp).

struct WriteModeCase {
    std::optional<std::string> value;
    int flag;
};

TEST_P(HostE2E, ReadsTheWriteModeValueAtLoad)
{
    const WriteModeCase cases[] = {
        {std::nullopt, 0},
        {"1", 1},
        {"01", 0},
        {"true", 0},
    };
    client_.reset(); // one client at a time: each case starts its own
    for (const WriteModeCase& each : cases) {
        SCOPED_TRACE(each.value.value_or("(no value)"));
        auto client = ClientWorld::Create(GetParam());
        client->SetWriteModeValue(each.value);
        client->Start();
        const std::vector<std::string> messages = LogMessages(client->ReadLog());
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.front(), msg::WriteModeFlag(each.flag));
        EXPECT_EQ(client->StopWithCtrlC(), 0);
    }
}

// The registry samples that the packages ship: merged (Windows) or read in
// place (Linux), each gives the write-mode flag it says it does.
TEST_P(HostE2E, TheShippedRegistrySamplesSetTheWriteMode)
{
    const struct {
        const char* file;
        int flag;
    } samples[] = {
        {"packaging/windows/QELClt_NoBufWrite.reg", 1},
        {"packaging/linux/registry.reg", 0},
    };
    client_.reset(); // one client at a time: each sample starts its own
    for (const auto& sample : samples) {
        SCOPED_TRACE(sample.file);
        auto client = ClientWorld::Create(GetParam());
        client->SetRegistryFile(std::filesystem::path(QEL_E2E_SOURCE_DIR) / sample.file);
        client->Start();
        const std::vector<std::string> messages = LogMessages(client->ReadLog());
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.front(), msg::WriteModeFlag(sample.flag));
        EXPECT_EQ(client->StopWithCtrlC(), 0);
    }
}

QEL_E2E_IN_BOTH_WORLDS(HostE2E);

} // namespace
} // namespace e2e
