// The Debian package of the release preset, when it has been made: its files
// and links, its control scripts, its systemd unit (systemd-analyze verify
// where systemd is installed), and the installed client itself, run from a
// scratch root that the package was unpacked into (dpkg -x): the links under
// /usr/lib/qel put its log, drives and registry in /var and /etc, it tells
// systemd that it runs (READY=1 on $NOTIFY_SOCKET), answers a disk-info task
// on loopback and stops cleanly on SIGTERM.
#include "E2ESupport.h"

#include "maintenance_tasks.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace e2e {
namespace {

std::optional<fs::path> FindDeb()
{
    const fs::path folder = QEL_RELEASE_PACKAGES;
    if (!fs::is_directory(folder)) {
        return std::nullopt;
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("qel-client_") && name.ends_with("_amd64.deb")) {
            return entry.path();
        }
    }
    return std::nullopt;
}

std::string ReadText(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The lines "Key=Value" of a unit file, comments and sections left out.
std::multimap<std::string, std::string> UnitSettings(const std::string& unit)
{
    std::multimap<std::string, std::string> settings;
    std::istringstream lines(unit);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == '[' || equals == std::string::npos) {
            continue;
        }
        settings.emplace(line.substr(0, equals), line.substr(equals + 1));
    }
    return settings;
}

std::string Setting(const std::multimap<std::string, std::string>& settings, const std::string& key)
{
    const auto found = settings.find(key);
    return found == settings.end() ? "(none)" : found->second;
}

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path& path) : path_(path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string name = path.string();
        if (fd_ < 0 || name.size() >= sizeof address.sun_path) {
            throw std::runtime_error("cannot make the notification socket");
        }
        name.copy(address.sun_path, name.size());
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot bind the notification socket " + name);
        }
    }
    ~NotifySocket() { ::close(fd_); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // The next message, or nullopt when none came within the limit (a hang
    // guard).
    std::optional<std::string> Receive(Milliseconds limit)
    {
        pollfd wait{fd_, POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(limit.count())) != 1) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t received = ::recv(fd_, buffer, sizeof buffer, 0);
        return received < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, received));
    }

private:
    fs::path path_;
    int fd_ = -1;
};

class DebianPackage : public testing::Test {
protected:
    void SetUp() override
    {
        deb_ = FindDeb();
        if (!deb_) {
            GTEST_SKIP() << "no Debian package in " << QEL_RELEASE_PACKAGES
                         << ": `cmake --build --preset release --target package` makes it (scripts/test.sh --package "
                            "does, before the Linux tests) when dpkg-deb is installed";
        }
    }

    std::optional<fs::path> deb_;
};

TEST_F(DebianPackage, HoldsTheProgramsTheLinksTheSettingsAndTheUnit)
{
    const CommandResult listing = RunCommand({"dpkg-deb", "-c", deb_->string()});
    ASSERT_EQ(listing.exitStatus, 0) << listing.output;
    // "-rwxr-xr-x root/root 35288 2026-01-01 12:00 ./usr/bin/x -> ../lib/x": the
    // path (and the link's target) from the sixth word on; folders left out.
    std::map<std::string, std::string> entries;
    std::istringstream lines(listing.output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string mode, owner, size, date, time, path, arrow, target;
        words >> mode >> owner >> size >> date >> time >> path >> arrow >> target;
        if (!mode.starts_with("d")) {
            entries[path.substr(1)] = mode.substr(0, 1) + (target.empty() ? "" : " -> " + target);
        }
    }
    const std::map<std::string, std::string> expected = {
        {"/usr/lib/qel/bin/QELCltCore", "-"},
        {"/usr/lib/qel/bin/qelsrv", "-"},
        {"/usr/lib/qel/bin/libqekcore.so", "-"},
        {"/usr/lib/qel/bin/libravelnet.so", "-"},
        {"/usr/lib/qel/bin/libpelkit.so", "-"},
        {"/usr/lib/qel/bin/libwin32posix.so", "-"},
        {"/usr/bin/QELCltCore", "l -> ../lib/qel/bin/QELCltCore"},
        {"/usr/bin/qelsrv", "l -> ../lib/qel/bin/qelsrv"},
        {"/usr/lib/qel/log", "l -> ../../../var/log/qel"},
        {"/usr/lib/qel/Data", "l -> ../../../var/lib/qel/Data"},
        {"/usr/lib/qel/drives", "l -> ../../../var/lib/qel/drives"},
        {"/usr/lib/qel/etc", "l -> ../../../etc/qel"},
        {"/etc/qel/client.env", "-"},
        {"/etc/qel/registry.reg", "-"},
        {"/usr/lib/systemd/system/qel-client.service", "-"},
        {"/usr/share/doc/qel-client/INSTALL.txt", "-"},
    };
    EXPECT_EQ(entries, expected);
    for (const char* folder : {"./var/log/qel/", "./var/lib/qel/Data/", "./var/lib/qel/drives/C/"}) {
        EXPECT_NE(listing.output.find(folder), std::string::npos) << folder;
    }

    // The control part: the settings are conffiles, postinst makes the
    // service's user and gives it its folders.
    TempFolder control;
    ASSERT_EQ(RunCommand({"dpkg-deb", "-e", deb_->string(), control.Path().string()}).exitStatus, 0);
    EXPECT_EQ(ReadText(control.Path() / "conffiles"), "/etc/qel/client.env\n/etc/qel/registry.reg\n");
    const std::string postinst = ReadText(control.Path() / "postinst");
    EXPECT_NE(postinst.find("adduser --system --group"), std::string::npos) << postinst;
    EXPECT_NE(postinst.find("chown qel:qel /var/log/qel /var/lib/qel"), std::string::npos) << postinst;
    EXPECT_NE(ReadText(control.Path() / "prerm").find("systemctl stop qel-client.service"), std::string::npos);
    EXPECT_NE(ReadText(control.Path() / "control").find("Depends: libc6, libstdc++6, libgcc-s1, adduser"),
              std::string::npos);

    TempFolder root;
    ASSERT_EQ(RunCommand({"dpkg-deb", "-x", deb_->string(), root.Path().string()}).exitStatus, 0);
    const fs::path unitFile = root.Path() / "usr/lib/systemd/system/qel-client.service";
    const auto unit = UnitSettings(ReadText(unitFile));
    EXPECT_EQ(Setting(unit, "Type"), "notify");
    EXPECT_EQ(Setting(unit, "ExecStart"), "/usr/lib/qel/bin/QELCltCore");
    EXPECT_EQ(Setting(unit, "Restart"), "on-failure");
    EXPECT_EQ(Setting(unit, "User"), "qel");
    EXPECT_EQ(Setting(unit, "EnvironmentFile"), "-/etc/qel/client.env");
    EXPECT_EQ(Setting(unit, "ProtectSystem"), "strict");
    EXPECT_EQ(Setting(unit, "ReadWritePaths"), "/var/log/qel /var/lib/qel");
    EXPECT_EQ(Setting(unit, "CapabilityBoundingSet"), "");
    EXPECT_EQ(Setting(unit, "KillSignal"), "SIGTERM");
    EXPECT_EQ(Setting(unit, "WantedBy"), "multi-user.target");

    if (RunCommand({"sh", "-c", "command -v systemd-analyze"}).exitStatus != 0) {
        std::cout << "systemd-analyze is absent: the unit is not verified by systemd\n";
        return;
    }
    // systemd-analyze checks that the program exists: a copy whose
    // ExecStart names the unpacked one. It warns on stderr and still exits 0,
    // so a clean verify says nothing.
    std::string copy = ReadText(unitFile);
    const std::string exec = "ExecStart=/usr/lib/qel/bin/QELCltCore";
    copy.replace(copy.find(exec), exec.size(), "ExecStart=" + (root.Path() / "usr/lib/qel/bin/QELCltCore").string());
    fs::create_directories(root.Path() / "verify");
    std::ofstream(root.Path() / "verify" / "qel-client.service") << copy;
    const CommandResult verify =
        RunCommand({"systemd-analyze", "verify", (root.Path() / "verify" / "qel-client.service").string()});
    EXPECT_EQ(verify.exitStatus, 0) << verify.output;
    EXPECT_EQ(verify.output, "");
}

TEST_F(DebianPackage, TheUnpackedClientRunsTellsSystemdAndAnswersOnLoopback)
{
    TempFolder root;
    ASSERT_EQ(RunCommand({"dpkg-deb", "-x", deb_->string(), root.Path().string()}).exitStatus, 0);
    NotifySocket notify(root.Path() / "notify");
    const uint16_t port = FreeLoopbackPort();

    // As systemd starts it, with the package's defaults: no drive map, no
    // registry file named.
    ProcessOptions options;
    options.arguments = {(root.Path() / "usr/bin/QELCltCore").string()};
    options.environment = {
        {"RAVELNET_PORT", std::to_string(port)},
        {"NOTIFY_SOCKET", (root.Path() / "notify").string()},
        {"QEL_DRIVES", std::nullopt},
        {"QEL_REGISTRY", std::nullopt},
        {"QEL_SYSTEM_DRIVE", std::nullopt},
        {"QEL_DEBUG_OUTPUT", std::nullopt},
        {"RAVELNET_ALLOW", std::nullopt},
        {"RAVELNET_HEADER_TIMEOUT_MS", std::nullopt},
        {"RAVELNET_SEND_TIMEOUT_MS", std::nullopt},
        // The test's sanitizers are not the installed program's.
        {"LD_PRELOAD", std::nullopt},
    };
    options.workingDirectory = root.Path() / "var/lib/qel";
    options.errorFile = root.Path() / "stderr.txt";
    ChildProcess host(options);

    const std::optional<std::string> ready = host.ReadLine(Milliseconds(60000));
    ASSERT_TRUE(ready) << ReadText(root.Path() / "stderr.txt");
    EXPECT_EQ(*ready, "QELCltCore: service running, tasks on port " + std::to_string(port) + ", drives: C:\\ fixed");
    EXPECT_EQ(notify.Receive(Milliseconds(60000)), "READY=1");

    const qelsrv::DiskInfoResult disks = qelsrv::RunDiskInfoTask({"127.0.0.1", port});
    ASSERT_TRUE(disks.ok) << disks.error;
    ASSERT_EQ(disks.drives.size(), 1u);
    EXPECT_EQ(disks.drives[0].letter, 'C');

    // The log went through /usr/lib/qel/log to /var/log/qel, the registry
    // came from /etc/qel/registry.reg (the write-mode flag 0 it holds).
    const fs::path log = root.Path() / "var/log/qel/qeclt.log";
    auto messages = LogMessages(ReadText(log));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (CountMessage(messages, msg::DiskInfoDone()) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(Milliseconds(20));
        messages = LogMessages(ReadText(log));
    }
    EXPECT_EQ(messages, (std::vector<std::string>{msg::WriteModeFlag(0), msg::StartedWork(), msg::DiskInfoDone()}));

    host.Signal(SIGTERM);
    EXPECT_EQ(notify.Receive(Milliseconds(60000)), "STOPPING=1");
    EXPECT_EQ(host.Wait(Milliseconds(60000)), 0) << ReadText(root.Path() / "stderr.txt");
    EXPECT_EQ(host.ReadLine(Milliseconds(1000)), "QELCltCore: service stopped");
    EXPECT_TRUE(MaskTimeStamps(ReadText(log)).ends_with("\r\nT \r\n\r\n")) << ReadableLog(ReadText(log));

    // The Windows service's options say where they belong.
    const CommandResult install = RunCommand({(root.Path() / "usr/bin/QELCltCore").string(), "--install"});
    EXPECT_EQ(install.exitStatus, 2);
    EXPECT_NE(install.output.find("systemctl enable --now qel-client"), std::string::npos) << install.output;
}

} // namespace
} // namespace e2e
