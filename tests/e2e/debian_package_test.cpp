// The Debian package of the release preset, when it has been made: its files
// and links, its control scripts, its systemd unit (systemd-analyze verify
// where systemd is installed), and the installed client itself, run from a
// scratch root that the package was unpacked into (dpkg -x): the links under
// /usr/lib/qel put its log, drives and registry in /var and /etc, it tells
// systemd that it runs (READY=1 on $NOTIFY_SOCKET), answers a disk-info task
// on loopback and stops cleanly on SIGTERM. systemd rates the unit's exposure
// at 2.0 at most, and every system call that a run of the client makes (under
// strace) is one the unit's filter allows.
#include "E2ESupport.h"

#include "checklist.h"
#include "dirsync_session.h"
#include "maintenance_tasks.h"
#include "update_session.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

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

// A copy of the unpacked package's unit whose ExecStart names the unpacked
// program, for systemd-analyze, which checks that it exists.
fs::path UnitForAnalysis(const fs::path& root)
{
    std::string unit = ReadText(root / "usr/lib/systemd/system/qel-client.service");
    const std::string exec = "ExecStart=/usr/lib/qel/bin/QELCltCore";
    unit.replace(unit.find(exec), exec.size(), "ExecStart=" + (root / "usr/lib/qel/bin/QELCltCore").string());
    fs::create_directories(root / "verify");
    std::ofstream(root / "verify" / "qel-client.service") << unit;
    return root / "verify" / "qel-client.service";
}

// The client unpacked below `root`, as systemd starts it, with the
// package's defaults (no drive map, no registry file named), its readiness
// told on `notify`, its standard error in <root>/stderr.txt; `wrapper` runs it
// (strace ...).
ProcessOptions UnpackedClient(const fs::path& root, uint16_t port, const fs::path& notify,
                              std::vector<std::string> wrapper = {})
{
    ProcessOptions options;
    options.arguments = std::move(wrapper);
    options.arguments.push_back((root / "usr/bin/QELCltCore").string());
    options.environment = {
        {"RAVELNET_PORT", std::to_string(port)},
        {"NOTIFY_SOCKET", notify.string()},
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
    options.workingDirectory = root / "var/lib/qel";
    options.errorFile = root / "stderr.txt";
    return options;
}

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

    ASSERT_EQ(RunCommand({"sh", "-c", "command -v systemd-analyze"}).exitStatus, 0)
        << "systemd-analyze verifies the unit and rates its exposure (scripts/setup.sh test installs systemd)";
    // systemd-analyze checks that the program exists: a copy whose
    // ExecStart names the unpacked one. It warns on stderr and still exits 0,
    // so a clean verify says nothing.
    const fs::path copy = UnitForAnalysis(root.Path());
    const CommandResult verify = RunCommand({"systemd-analyze", "verify", copy.string()});
    EXPECT_EQ(verify.exitStatus, 0) << verify.output;
    EXPECT_EQ(verify.output, "");

    // What the unit leaves the service, as systemd rates it: 2.0 at most.
    const CommandResult security = RunCommand({"systemd-analyze", "security", "--offline=yes", copy.string()});
    EXPECT_EQ(security.exitStatus, 0) << security.output;
    const std::string overall = "Overall exposure level for qel-client.service: ";
    const std::size_t figure = security.output.find(overall);
    ASSERT_NE(figure, std::string::npos) << security.output;
    const double exposure = std::stod(security.output.substr(figure + overall.size()));
    EXPECT_LE(exposure, 2.0) << security.output;
    std::cout << "exposure of qel-client.service: " << exposure << "\n";
}

TEST_F(DebianPackage, TheUnpackedClientRunsTellsSystemdAndAnswersOnLoopback)
{
    TempFolder root;
    ASSERT_EQ(RunCommand({"dpkg-deb", "-x", deb_->string(), root.Path().string()}).exitStatus, 0);
    NotifySocket notify(root.Path() / "notify");
    const uint16_t port = FreeLoopbackPort();

    ChildProcess host(UnpackedClient(root.Path(), port, root.Path() / "notify"));

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

// ---- The client's system calls against the unit's filter --------------------

// systemd's groups of system calls (`systemd-analyze syscall-filter`): each
// group's entries, calls and nested groups.
std::map<std::string, std::vector<std::string>> SyscallGroups()
{
    const CommandResult listing = RunCommand({"systemd-analyze", "syscall-filter"});
    std::map<std::string, std::vector<std::string>> groups;
    std::istringstream lines(listing.output);
    std::string line;
    std::string group;
    while (std::getline(lines, line)) {
        if (line.starts_with("@")) {
            group = line.substr(0, line.find(' '));
            continue;
        }
        std::istringstream words(line);
        std::string entry;
        if (!group.empty() && words >> entry && !entry.starts_with("#")) {
            groups[group].push_back(entry);
        }
    }
    return groups;
}

void AddCalls(const std::string& entry, const std::map<std::string, std::vector<std::string>>& groups,
              std::set<std::string>& calls)
{
    if (!entry.starts_with("@")) {
        calls.insert(entry);
        return;
    }
    const auto group = groups.find(entry);
    ASSERT_NE(group, groups.end()) << "systemd knows no group " << entry;
    for (const std::string& member : group->second) {
        AddCalls(member, groups, calls);
    }
}

// The calls the unit's SystemCallFilter= lines allow: what the allow lists
// name, less what the deny lists (~) name.
std::set<std::string> AllowedCalls(const std::multimap<std::string, std::string>& unit)
{
    const auto groups = SyscallGroups();
    std::set<std::string> allowed;
    std::set<std::string> denied;
    const auto [first, last] = unit.equal_range("SystemCallFilter");
    for (auto setting = first; setting != last; ++setting) {
        std::string value = setting->second;
        const bool deny = value.starts_with("~");
        std::istringstream entries(deny ? value.substr(1) : value);
        std::string entry;
        while (entries >> entry) {
            AddCalls(entry, groups, deny ? denied : allowed);
        }
    }
    for (const std::string& call : denied) {
        allowed.erase(call);
    }
    return allowed;
}

// What `strace -f -C` wrote: each call as it was made, then the summary of
// the calls counted.
struct Trace {
    std::string calls;
    std::string summary;
};

Trace SplitTrace(const std::string& text)
{
    const std::size_t summary = text.find("% time");
    if (summary == std::string::npos) {
        return {text, ""};
    }
    return {text.substr(0, summary), text.substr(summary)};
}

// The calls that strace counted in its summary, by name.
std::set<std::string> CountedCalls(const std::string& summary)
{
    std::set<std::string> calls;
    std::istringstream lines(summary);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string first;
        if (!(words >> first) || std::isdigit(static_cast<unsigned char>(first[0])) == 0) {
            continue; // the heading, the rules
        }
        std::string name = first;
        for (std::string word; words >> word;) {
            name = word;
        }
        if (name != "total") {
            calls.insert(name);
        }
    }
    return calls;
}

// The process that `parent` started (strace's tracee). Asked once the tracee
// has told systemd it is ready, so it is there.
std::optional<pid_t> ChildOf(pid_t parent)
{
    std::istringstream children(
        ReadText("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children"));
    pid_t child = 0;
    if (children >> child) {
        return child;
    }
    return std::nullopt;
}

// Mappings that are both writable and executable, which
// MemoryDenyWriteExecute= refuses.
std::vector<std::string> WritableExecutableMappings(const std::string& calls)
{
    std::vector<std::string> found;
    std::istringstream lines(calls);
    std::string line;
    while (std::getline(lines, line)) {
        const bool mapping = line.find("mmap(") != std::string::npos || line.find("mprotect(") != std::string::npos;
        if (mapping && line.find("PROT_WRITE") != std::string::npos && line.find("PROT_EXEC") != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

// The unpacked client, run under `strace -f -C` as systemd would start it,
// in both write modes (the unbuffered one writes through a thread of its
// own), serving each kind of task on loopback: disk info, a game update, a
// directory sync onto two drives and deleting the game. Every call it made
// must be one that the unit's SystemCallFilter allows, and none maps memory
// writable and executable at once.
TEST_F(DebianPackage, EveryCallOfTheClientIsOneItsUnitAllows)
{
    ASSERT_EQ(RunCommand({"sh", "-c", "command -v strace && command -v systemd-analyze"}).exitStatus, 0)
        << "strace and systemd-analyze are needed (scripts/setup.sh test installs them)";
    TempFolder root;
    ASSERT_EQ(RunCommand({"dpkg-deb", "-x", deb_->string(), root.Path().string()}).exitStatus, 0);
    const fs::path drives = root.Path() / "var/lib/qel/drives";
    fs::create_directories(drives / "D");
    TempFolder server;
    PutFile(server.Path() / "game.cfg", "fullscreen=1");
    PutFile(server.Path() / "maps" / "big.map", Pattern(1'300'000, 7));
    const qelsrv::CheckList list = qelsrv::BuildCheckList(server.Path());
    ASSERT_TRUE(list.ok());

    std::set<std::string> counted;
    for (const char* writeMode : {"0", "1"}) {
        SCOPED_TRACE(std::string("write mode ") + writeMode);
        // E holds the directory the sync finds; the deletion takes it from D and E.
        fs::create_directories(drives / "E" / "games" / "x");
        std::ofstream(root.Path() / "etc/qel/registry.reg", std::ios::trunc)
            << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1\\LomvarkPro]\n"
            << "\"QELClt_NoBufWrite\"=\"" << writeMode << "\"\n";
        const fs::path traceFile = root.Path() / (std::string("strace-") + writeMode + ".txt");
        const fs::path notifyPath = root.Path() / (std::string("notify-") + writeMode);
        NotifySocket notify(notifyPath);
        const uint16_t port = FreeLoopbackPort();
        ChildProcess tracer(
            UnpackedClient(root.Path(), port, notifyPath, {"strace", "-f", "-C", "-o", traceFile.string()}));
        ASSERT_TRUE(tracer.ReadLine(Milliseconds(60000))) << ReadText(root.Path() / "stderr.txt");
        EXPECT_EQ(notify.Receive(Milliseconds(60000)), "READY=1");
        const qelsrv::Endpoint endpoint{"127.0.0.1", port};

        const qelsrv::DiskInfoResult disks = qelsrv::RunDiskInfoTask(endpoint);
        EXPECT_TRUE(disks.ok) << disks.error;
        qelsrv::FileTaskSpec update;
        std::string error;
        ASSERT_TRUE(qelsrv::MakeUpdateParams(1, writeMode, "D:\\games\\x\\", false, update.params, error));
        const auto updated = qelsrv::RunFileTaskSession(endpoint, update, list, [](const qelsrv::SessionProgress&) {});
        EXPECT_EQ(updated.outcome, qelsrv::SessionOutcome::Completed) << updated.error;
        qelsrv::DirectorySyncOptions sync;
        sync.basePath = "\\games\\x";
        qelsrv::FileTaskSpec syncSpec;
        ASSERT_TRUE(qelsrv::MakeDirectorySyncSpec(sync, syncSpec, error)) << error;
        const auto synced = qelsrv::RunFileTaskSession(endpoint, syncSpec, list, [](const qelsrv::SessionProgress&) {});
        EXPECT_EQ(synced.outcome, qelsrv::SessionOutcome::Completed) << synced.error;
        const qelsrv::DeleteGameResult deleted = qelsrv::RunDeleteGameTask(endpoint, "D:\\games\\x");
        EXPECT_TRUE(deleted.ok) << deleted.error;

        const std::optional<pid_t> client = ChildOf(tracer.Pid());
        ASSERT_TRUE(client);
        ::kill(*client, SIGTERM);
        EXPECT_EQ(notify.Receive(Milliseconds(60000)), "STOPPING=1");
        EXPECT_EQ(tracer.Wait(Milliseconds(60000)), 0) << ReadText(root.Path() / "stderr.txt");
        const Trace trace = SplitTrace(ReadText(traceFile));
        const std::set<std::string> calls = CountedCalls(trace.summary);
        EXPECT_GT(calls.size(), 20u) << trace.summary;
        counted.insert(calls.begin(), calls.end());
        EXPECT_EQ(WritableExecutableMappings(trace.calls), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(drives / "D" / "games" / "x"));
        EXPECT_FALSE(fs::exists(drives / "E" / "games" / "x"));
    }

    const std::set<std::string> allowed =
        AllowedCalls(UnitSettings(ReadText(root.Path() / "usr/lib/systemd/system/qel-client.service")));
    ASSERT_FALSE(allowed.empty()) << "the unit has no SystemCallFilter";
    std::vector<std::string> refused;
    for (const std::string& call : counted) {
        if (allowed.count(call) == 0) {
            refused.push_back(call);
        }
    }
    EXPECT_EQ(refused, std::vector<std::string>{}) << "calls of the client that its unit's filter refuses";
}

} // namespace
} // namespace e2e
