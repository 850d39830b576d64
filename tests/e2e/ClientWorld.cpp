#include "ClientWorld.h"

#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace e2e {
namespace {

constexpr Milliseconds kStartLimit{120000};
constexpr Milliseconds kStopLimit{60000};
// Starts of the host when its port was taken before it could open it.
constexpr int kStartAttempts = 5;
// What the host says when its task server could not be opened.
constexpr const char* kTaskServerNotOpened = "the service did not start: status 0,";

const char* const kProductFiles[] = {"QELCltCore.exe", "QekCore.dll", "Ravelnet.dll", "Pelkit.dll"};

std::string ReadWholeFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

fs::path MakeScratchFolder()
{
    std::string pattern = (fs::temp_directory_path() / "qel-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

// ---- Linux: the build tree's host through the Win32 layer ------------------

const char* LayerDriveType(DriveKind kind)
{
    switch (kind) {
    case DriveKind::Fixed:
        return "fixed";
    case DriveKind::Cdrom:
        return "cdrom";
    case DriveKind::Remote:
        return "remote";
    case DriveKind::Removable:
        return "removable";
    }
    return "fixed";
}

class LinuxWorld : public ClientWorld {
public:
    LinuxWorld() : ClientWorld(World::Linux)
    {
        fs::create_directories(InstallRoot() / "bin");
        fs::create_directories(SystemDrive() / "Windows");
        // The host is copied (the service finds its files from the
        // executable's real path); the libraries beside it are links.
        fs::copy_file(QEL_E2E_LINUX_HOST, InstallRoot() / "bin" / "QELCltCore");
        fs::create_symlink(QEL_E2E_LINUX_CORE, InstallRoot() / "bin" / "libqekcore.so");
        fs::create_symlink(QEL_E2E_LINUX_PELKIT, InstallRoot() / "bin" / "libpelkit.so");
    }
    ~LinuxWorld() override { EndHost(); }

    fs::path InstallRoot() const override { return Scratch() / "install"; }

protected:
    fs::path SystemDrive() const override { return Scratch() / "drives" / "C"; }

    std::unique_ptr<ChildProcess> Launch(uint16_t port) override
    {
        std::string drives = "C=" + SystemDrive().string() + ",fixed";
        for (const DriveSpec& drive : MappedDrives()) {
            drives += ";" + std::string(1, drive.letter) + "=" + Drive(drive.letter).string() + "," +
                      LayerDriveType(drive.kind);
        }
        fs::path registry = Scratch() / "registry.reg";
        std::ofstream(registry, std::ios::binary | std::ios::trunc) << RegistryText();
        if (RegistryFile()) {
            registry = *RegistryFile();
        }

        ProcessOptions options;
        options.arguments = {(InstallRoot() / "bin" / "QELCltCore").string()};
        options.environment = HostEnvironment({
            {"QEL_DRIVES", drives},
            {"QEL_SYSTEM_DRIVE", "C"},
            {"QEL_REGISTRY", registry.string()},
            {"QEL_DEBUG_OUTPUT", std::nullopt},
            {"RAVELNET_PORT", std::to_string(port)},
            {"RAVELNET_ALLOW", std::nullopt},
            {"RAVELNET_HEADER_TIMEOUT_MS", std::nullopt},
            {"RAVELNET_SEND_TIMEOUT_MS", std::nullopt},
        });
        options.workingDirectory = InstallRoot() / "bin";
        options.errorFile = Scratch() / "host-stderr.txt";
        return std::make_unique<ChildProcess>(options);
    }

private:
    std::string RegistryText() const
    {
        std::string text = "Windows Registry Editor Version 5.00\n\n";
        if (WriteModeValue()) {
            text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell1\\LomvarkPro]\n";
            text += "\"QELClt_NoBufWrite\"=\"" + *WriteModeValue() + "\"\n";
        }
        return text;
    }
};

// ---- Wine: the mingw64 build under Wine --------------------------------------

const char* WineDriveType(DriveKind kind)
{
    switch (kind) {
    case DriveKind::Fixed:
        return "hd";
    case DriveKind::Cdrom:
        return "cdrom";
    case DriveKind::Remote:
        return "network";
    case DriveKind::Removable:
        return "floppy";
    }
    return "hd";
}

constexpr const char* kWineDrivesKey = "HKLM\\Software\\Wine\\Drives";
constexpr const char* kSettingKey = "HKLM\\SOFTWARE\\Tarnwell1\\LomvarkPro";
constexpr const char* kSettingKey32 = "HKLM\\SOFTWARE\\WOW6432Node\\Tarnwell1\\LomvarkPro";

fs::path WinePrefix()
{
    const char* overridden = std::getenv("QEL_E2E_WINEPREFIX");
    return overridden != nullptr && *overridden != '\0' ? fs::path(overridden) : fs::path(QEL_E2E_WINEPREFIX);
}

// The locale that runs Wine at the ANSI code page 936, as cmake/wine-run.sh
// sets it (cmake/wine-locale.sh compiles zh_CN.UTF-8 when it is missing).
EnvironmentChanges WineLocale()
{
    static const EnvironmentChanges settings = [] {
        const fs::path script = fs::path(QEL_E2E_WINE_RUN).parent_path() / "wine-locale.sh";
        const CommandResult result = RunCommand({script.string()});
        if (result.exitStatus != 0) {
            throw std::runtime_error(script.string() + " failed: " + result.output);
        }
        EnvironmentChanges parsed{{"LC_ALL", std::nullopt}, {"LANGUAGE", std::nullopt}};
        std::istringstream lines(result.output);
        for (std::string line; std::getline(lines, line);) {
            const std::size_t equals = line.find('=');
            if (equals != std::string::npos) {
                parsed[line.substr(0, equals)] = line.substr(equals + 1);
            }
        }
        return parsed;
    }();
    return settings;
}

EnvironmentChanges WineEnvironment()
{
    const std::string prefix = WinePrefix().string();
    EnvironmentChanges environment{
        {"WINEPREFIX", prefix},
        {"QEL_WINEPREFIX", prefix},
        {"WINEDEBUG", "-all"},
        {"WINEDLLOVERRIDES", "mscoree,mshtml="},
        {"WINEARCH", std::nullopt},
        {"DISPLAY", std::nullopt},
        {"WAYLAND_DISPLAY", std::nullopt},
    };
    const EnvironmentChanges locale = WineLocale();
    environment.insert(locale.begin(), locale.end());
    return environment;
}

// Runs a helper command in the prefix; throws when `mustSucceed` and it fails.
// They run in the prefix folder itself: its drive_c does not exist until
// wineboot has made it.
CommandResult Wine(const std::vector<std::string>& arguments, bool mustSucceed = true)
{
    CommandResult result = RunCommand(arguments, WineEnvironment(), WinePrefix());
    if (mustSucceed && result.exitStatus != 0) {
        std::string command;
        for (const std::string& argument : arguments) {
            command += argument + " ";
        }
        throw std::runtime_error(command + "failed (" + std::to_string(result.exitStatus) + "): " + result.output);
    }
    return result;
}

// The prefix is one per build tree, shared by the Wine tests of every test
// program: a lock file keeps two of them from mapping its drives at once.
class PrefixLock {
public:
    PrefixLock()
    {
        const fs::path lockPath = WinePrefix().string() + ".lock";
        fs::create_directories(lockPath.parent_path());
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0 || ::flock(fd_, LOCK_EX) != 0) {
            throw std::runtime_error("cannot lock " + lockPath.string());
        }
    }
    ~PrefixLock() { ::close(fd_); }
    PrefixLock(const PrefixLock&) = delete;
    PrefixLock& operator=(const PrefixLock&) = delete;

private:
    int fd_ = -1;
};

void EnsurePrefix()
{
    if (fs::exists(WinePrefix() / "system.reg") && fs::exists(WinePrefix() / "drive_c" / "windows")) {
        return;
    }
    fs::create_directories(WinePrefix());
    Wine({"wineboot", "-i"}, false);
    Wine({"wineserver", "-w"}, false);
    if (!fs::exists(WinePrefix() / "drive_c" / "windows")) {
        throw std::runtime_error("wineboot did not create the prefix " + WinePrefix().string());
    }
}

fs::path WineInstallRoot()
{
    return WinePrefix() / "drive_c" / "QEL";
}

// A prefix ready for a test: nothing of it running, the product in
// C:\QEL\bin\ afresh.
constexpr const char* kServiceKey = "HKLM\\System\\CurrentControlSet\\Services\\QELClient";
constexpr const char* kMachineEnvironmentKey = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment";

// A service test that was cut short leaves the service registered (and
// started automatically with every session) or a machine-wide variable set:
// both go before any test uses the prefix. The program is gone by then, so
// an automatic start fails at once.
void RemoveLeftService()
{
    const std::string registry = ReadWholeFile(WinePrefix() / "system.reg");
    const bool serviceLeft = registry.find("Services\\\\QELClient]") != std::string::npos;
    const bool variableLeft = registry.find("\"RAVELNET_PORT\"=") != std::string::npos;
    if (serviceLeft) {
        Wine({"wine", "reg", "delete", kServiceKey, "/f"}, false);
    }
    if (variableLeft) {
        Wine({"wine", "reg", "delete", kMachineEnvironmentKey, "/v", "RAVELNET_PORT", "/f"}, false);
    }
    if (serviceLeft || variableLeft) {
        Wine({"wineserver", "-k"}, false);
        Wine({"wineserver", "-w"}, false);
    }
}

void PreparePrefix()
{
    EnsurePrefix();
    Wine({"wineserver", "-k"}, false);
    std::error_code ignored;
    fs::remove_all(WineInstallRoot(), ignored);
    RemoveLeftService();
    fs::create_directories(WineInstallRoot() / "bin");
    for (const char* name : kProductFiles) {
        fs::copy_file(fs::path(QEL_E2E_WINDOWS_BIN) / name, WineInstallRoot() / "bin" / name);
    }
    fs::copy_file(fs::path(QEL_E2E_WINDOWS_BIN) / "qelsrv.exe", WineInstallRoot() / "bin" / "qelsrv.exe");
}

// dosdevices/ holds c: (the prefix's drive_c) and one link per mapped drive;
// every other drive letter (z: for the Unix root among them) goes.
void MapDosDevices(const std::map<char, fs::path>& drives)
{
    const fs::path devices = WinePrefix() / "dosdevices";
    for (const fs::directory_entry& entry : fs::directory_iterator(devices)) {
        const std::string name = entry.path().filename().string();
        const bool driveLetter = (name.size() == 2 || name.size() == 3) && name[1] == ':';
        if (driveLetter) {
            fs::remove(entry.path());
        }
    }
    fs::create_directory_symlink("../drive_c", devices / "c:");
    for (const auto& [letter, folder] : drives) {
        const char lower = static_cast<char>(letter - 'A' + 'a');
        fs::create_directory_symlink(folder, devices / (std::string(1, lower) + ":"));
    }
}

class WineWorld : public ClientWorld {
public:
    WineWorld() : ClientWorld(World::Wine) { PreparePrefix(); }
    ~WineWorld() override { EndHost(); }

    fs::path InstallRoot() const override { return WineInstallRoot(); }

protected:
    fs::path SystemDrive() const override { return WinePrefix() / "drive_c"; }

    std::unique_ptr<ChildProcess> Launch(uint16_t port) override
    {
        std::map<char, fs::path> drives;
        for (const DriveSpec& drive : MappedDrives()) {
            drives[drive.letter] = Drive(drive.letter);
        }
        MapDosDevices(drives);
        WriteRegistry();
        // Wine's mount manager reads the drive types when it starts: end the
        // prefix's processes so that the host's start begins afresh.
        StopEveryWineProcess();

        ProcessOptions options;
        options.arguments = {QEL_E2E_WINE_RUN, "C:\\QEL\\bin\\QELCltCore.exe"};
        EnvironmentChanges own = WineEnvironment();
        own["RAVELNET_PORT"] = std::to_string(port);
        own["RAVELNET_ALLOW"] = std::nullopt;
        own["RAVELNET_HEADER_TIMEOUT_MS"] = std::nullopt;
        own["RAVELNET_SEND_TIMEOUT_MS"] = std::nullopt;
        options.environment = HostEnvironment(std::move(own));
        options.workingDirectory = InstallRoot() / "bin";
        options.errorFile = Scratch() / "host-stderr.txt";
        return std::make_unique<ChildProcess>(options);
    }

    void AfterHost() override { StopEveryWineProcess(); }

private:
    static void StopEveryWineProcess() { Wine({"wineserver", "-k"}, false); }

    void WriteRegistry() const
    {
        Wine({"wine", "reg", "delete", kWineDrivesKey, "/f"}, false);
        for (const DriveSpec& drive : MappedDrives()) {
            if (drive.kind != DriveKind::Fixed) {
                const char lower = static_cast<char>(drive.letter - 'A' + 'a');
                Wine({"wine", "reg", "add", kWineDrivesKey, "/v", std::string(1, lower) + ":", "/t", "REG_SZ", "/d",
                      WineDriveType(drive.kind), "/f"});
            }
        }
        Wine({"wine", "reg", "delete", kSettingKey, "/f"}, false);
        Wine({"wine", "reg", "delete", kSettingKey32, "/f"}, false);
        if (RegistryFile()) {
            const fs::path copy = InstallRoot() / "import.reg";
            fs::copy_file(*RegistryFile(), copy, fs::copy_options::overwrite_existing);
            Wine({"wine", "reg", "import", "C:\\QEL\\import.reg"});
        } else if (WriteModeValue()) {
            Wine({"wine", "reg", "add", kSettingKey, "/v", "QELClt_NoBufWrite", "/t", "REG_SZ", "/d", *WriteModeValue(),
                  "/f"});
        }
    }

    PrefixLock lock_;
};

} // namespace

struct WinePrograms::Prefix {
    PrefixLock lock;
};

WinePrograms::WinePrograms() : prefix_(std::make_unique<Prefix>())
{
    PreparePrefix();
    MapDosDevices({});
}

WinePrograms::~WinePrograms()
{
    Wine({"wineserver", "-k"}, false);
}

fs::path WinePrograms::DriveC() const
{
    return WinePrefix() / "drive_c";
}

CommandResult WinePrograms::Run(const std::vector<std::string>& commandLine) const
{
    std::vector<std::string> arguments{QEL_E2E_WINE_RUN};
    arguments.insert(arguments.end(), commandLine.begin(), commandLine.end());
    return RunCommand(arguments, WineEnvironment(), DriveC());
}

// ---- The product as a Windows service -------------------------------------------

// A wine server that stays when its last program has ended (until
// `wineserver -k`), and the session's SCM (services.exe, started by the first
// program that asks it something) with the services it starts automatically.
// Both live on in the background with the standard output and error they were
// given: /dev/null, not a pipe that a test reads to its end.
void StartPersistentSession()
{
    Wine({"sh", "-c",
          "wineserver -p >/dev/null 2>&1 </dev/null; wine sc query QELClient >/dev/null 2>&1 </dev/null; true"});
}

struct WineService::Prefix {
    PrefixLock lock;
};

WineService::WineService(const std::vector<char>& fixedDrives) : prefix_(std::make_unique<Prefix>())
{
    PreparePrefix();
    std::map<char, fs::path> drives;
    for (char letter : fixedDrives) {
        fs::remove_all(Drive(letter));
        fs::create_directories(Drive(letter));
        drives[letter] = Drive(letter);
    }
    MapDosDevices(drives);
    Wine({"wine", "reg", "delete", kWineDrivesKey, "/f"}, false);
    Wine({"wine", "reg", "delete", kServiceKey, "/f"}, false);
    // No write-mode value: a suite run before in this prefix may have left one.
    Wine({"wine", "reg", "delete", kSettingKey, "/f"}, false);
    Wine({"wine", "reg", "delete", kSettingKey32, "/f"}, false);
    Wine({"wineserver", "-k"}, false);
    Wine({"wineserver", "-w"}, false);
    // The session lasts until the end: without a program of its own running,
    // Wine would end the SCM and its services.
    StartPersistentSession();
}

WineService::~WineService()
{
    // Stopped with the session, the service must not start with the next one.
    Wine({"wine", "sc", "delete", kName}, false);
    Wine({"wine", "reg", "delete", kServiceKey, "/f"}, false);
    for (const std::string& name : machineVariables_) {
        Wine({"wine", "reg", "delete", kMachineEnvironmentKey, "/v", name, "/f"}, false);
    }
    Wine({"wineserver", "-k"}, false);
    Wine({"wineserver", "-w"}, false);
    std::error_code ignored;
    fs::remove_all(WinePrefix() / "service-drives", ignored);
}

fs::path WineService::Drive(char letter) const
{
    if (letter == 'C' || letter == 'c') {
        return WinePrefix() / "drive_c";
    }
    return WinePrefix() / "service-drives" / std::string(1, letter);
}

fs::path WineService::InstallRoot() const
{
    return WineInstallRoot();
}

CommandResult WineService::Run(const std::vector<std::string>& commandLine) const
{
    std::vector<std::string> arguments{QEL_E2E_WINE_RUN};
    arguments.insert(arguments.end(), commandLine.begin(), commandLine.end());
    return RunCommand(arguments, WineEnvironment(), WinePrefix() / "drive_c");
}

std::unique_ptr<ChildProcess> WineService::Launch(const std::vector<std::string>& commandLine,
                                                  const std::vector<std::string>& wrapper) const
{
    ProcessOptions options;
    options.arguments = wrapper;
    options.arguments.push_back(QEL_E2E_WINE_RUN);
    options.arguments.insert(options.arguments.end(), commandLine.begin(), commandLine.end());
    options.environment = WineEnvironment();
    options.workingDirectory = WinePrefix() / "drive_c";
    options.inputPipe = true;
    options.captureErrors = true;
    return std::make_unique<ChildProcess>(options);
}

void WineService::SetParameter(const std::string& name, const std::string& value) const
{
    Wine({"wine", "reg", "add", std::string(kServiceKey) + "\\Parameters", "/v", name, "/t", "REG_SZ", "/d", value,
          "/f"});
}

void WineService::SetMachineVariable(const std::string& name, const std::string& value)
{
    machineVariables_.push_back(name);
    Wine({"wine", "reg", "add", kMachineEnvironmentKey, "/v", name, "/t", "REG_SZ", "/d", value, "/f"});
}

void WineService::Reboot() const
{
    Wine({"wineserver", "-k"}, false);
    Wine({"wineserver", "-w"}, false);
    StartPersistentSession();
}

namespace {

// "        STATE              : 4  RUNNING" -> 4; "  WIN32_EXIT_CODE    : 1066  (0x42a)" -> 1066.
std::optional<uint32_t> QueryField(const std::string& output, const std::string& field)
{
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string name;
        std::string colon;
        unsigned long long value = 0;
        if (words >> name >> colon >> value && name == field && colon == ":") {
            return static_cast<uint32_t>(value);
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<ServiceState> WineService::Query() const
{
    const CommandResult result = Wine({"wine", "sc", "query", kName}, false);
    const auto state = QueryField(result.output, "STATE");
    if (result.exitStatus != 0 || !state) {
        return std::nullopt;
    }
    return ServiceState{static_cast<int>(*state), QueryField(result.output, "WIN32_EXIT_CODE").value_or(0),
                        QueryField(result.output, "SERVICE_EXIT_CODE").value_or(0)};
}

std::optional<ServiceState> WineService::WaitFor(const std::function<bool(const std::optional<ServiceState>&)>& accept,
                                                 Milliseconds limit) const
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        std::optional<ServiceState> state = Query();
        if (accept(state) || std::chrono::steady_clock::now() >= deadline) {
            return state;
        }
        std::this_thread::sleep_for(Milliseconds(100));
    }
}

std::string WorldName(World world)
{
    return world == World::Linux ? "Linux" : "Wine";
}

std::optional<std::string> ClientWorld::Unavailable(World world)
{
    if (world == World::Linux) {
        return std::nullopt;
    }
    for (const char* name : kProductFiles) {
        if (!fs::exists(fs::path(QEL_E2E_WINDOWS_BIN) / name)) {
            return "the 64-bit Windows build is absent (no " + (fs::path(QEL_E2E_WINDOWS_BIN) / name).string() +
                   "): build the mingw64 preset first (scripts/test.sh does)";
        }
    }
    if (RunCommand({"sh", "-c", "command -v wine && command -v wineserver"}).exitStatus != 0) {
        return std::string("Wine is not installed (scripts/setup.sh test installs it)");
    }
    return std::nullopt;
}

std::unique_ptr<ClientWorld> ClientWorld::Create(World world)
{
    if (world == World::Linux) {
        return std::make_unique<LinuxWorld>();
    }
    return std::make_unique<WineWorld>();
}

ClientWorld::ClientWorld(World kind) : kind_(kind), scratch_(MakeScratchFolder()) { }

ClientWorld::~ClientWorld()
{
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
}

void ClientWorld::MapDrives(const std::vector<DriveSpec>& drives)
{
    drives_ = drives;
    for (const DriveSpec& drive : drives_) {
        fs::create_directories(Drive(drive.letter));
    }
}

EnvironmentChanges ClientWorld::HostEnvironment(EnvironmentChanges own) const
{
    for (const auto& [name, value] : hostVariables_) {
        own[name] = value;
    }
    return own;
}

fs::path ClientWorld::Drive(char letter) const
{
    if (letter == 'C' || letter == 'c') {
        return SystemDrive();
    }
    return scratch_ / "drives" / std::string(1, letter);
}

void ClientWorld::Start()
{
    // The port is free when it is chosen, but the host takes it only once it
    // has started, seconds later under Wine: any other program on the
    // machine may take it in between. The host then reports that its task
    // server could not be opened (status 0), and starts again on another
    // port. Nothing else in the test's settings can make that open fail, so
    // a host that fails every time still fails the test.
    for (int attempt = 1;; ++attempt) {
        port_ = FreeLoopbackPort();
        host_ = Launch(port_);
        while (auto line = host_->ReadLine(kStartLimit)) {
            if (line->find("service running") != std::string::npos) {
                announcement_ = *line;
                return;
            }
        }
        host_->Wait(Milliseconds(5000));
        const std::string errors = HostErrors();
        if (attempt < kStartAttempts && errors.find(kTaskServerNotOpened) != std::string::npos) {
            std::cerr << "note: " << WorldName(kind_) << " host could not open port " << port_
                      << ", which another program took after it was chosen; starting it on another port\n";
            EndHost();
            // The failed start's log line is no part of the test.
            std::error_code ignored;
            fs::remove(LogFile(), ignored);
            continue;
        }
        throw std::runtime_error(WorldName(kind_) + " host did not announce a running service; its errors: " + errors);
    }
}

std::optional<int> ClientWorld::StopWithCtrlC()
{
    if (!host_) {
        return std::nullopt;
    }
    host_->Signal(SIGINT);
    return host_->Wait(kStopLimit);
}

std::string ClientWorld::ReadLog() const
{
    return ReadWholeFile(LogFile());
}

std::string ClientWorld::HostErrors() const
{
    return ReadWholeFile(scratch_ / "host-stderr.txt");
}

void ClientWorld::EndHost()
{
    if (host_) {
        host_.reset(); // kills it when it still runs
        AfterHost();
    }
}

} // namespace e2e
