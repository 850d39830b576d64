// The client under test, as one whole installed product driven from outside:
// the host executable with the core, the transport and the helper library in
// its folder, its drives mapped to fresh temporary folders, the write-mode
// value in its registry, and its task server on a loopback port.
//
// The same tests run in two worlds:
//   Linux  the Linux build (build tree of this test) through our Win32 layer:
//          drives from QEL_DRIVES, the registry from a .reg file (QEL_REGISTRY).
//   Wine   the 64-bit Windows build (mingw64 preset) under Wine, with Wine's
//          own Win32 and Winsock: drives are the links in the prefix's
//          dosdevices/ folder, their types the values under
//          HKLM\Software\Wine\Drives (which Wine's mount manager reads when it
//          starts), the write-mode value set with `wine reg add`. The product
//          is installed in the prefix as C:\QEL\bin\ (log in C:\QEL\log\,
//          data in C:\QEL\Data\), as the install guide suggests.
//
// In both worlds drive C is the system drive (it holds the Windows folder):
// in the Wine world it is the prefix's own drive_c. Every other drive is a
// fresh empty folder of the test's.
#pragma once

#include "ChildProcess.h"

#include "update_session.h" // qelsrv::Endpoint

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace e2e {

using qeltest::ChildProcess;
using qeltest::CommandResult;
using qeltest::EnvironmentChanges;
using qeltest::FreeLoopbackPort;
using qeltest::Milliseconds;
using qeltest::ProcessOptions;
using qeltest::RunCommand;

enum class World { Linux, Wine };

std::string WorldName(World world);
inline void PrintTo(World world, std::ostream* out)
{
    *out << WorldName(world);
}

enum class DriveKind { Fixed, Cdrom, Remote, Removable };

struct DriveSpec {
    char letter; // upper case, D to Z
    DriveKind kind = DriveKind::Fixed;
};

class ClientWorld {
public:
    // Why `world` cannot run on this machine (its build or Wine is missing),
    // or nullopt when it can.
    static std::optional<std::string> Unavailable(World world);
    static std::unique_ptr<ClientWorld> Create(World world);

    virtual ~ClientWorld();
    ClientWorld(const ClientWorld&) = delete;
    ClientWorld& operator=(const ClientWorld&) = delete;

    World Kind() const { return kind_; }

    // Before Start: the drives besides C, each a new empty folder.
    void MapDrives(const std::vector<DriveSpec>& drives);
    // Before Start: the text of the registry value "QELClt_NoBufWrite", or
    // no value at all. The service reads it once, when the core is loaded.
    void SetWriteModeValue(std::optional<std::string> text) { writeModeValue_ = std::move(text); }
    // Before Start, instead of SetWriteModeValue: the registry as a .reg file
    // holds it (the Linux layer reads the file; Wine imports it with
    // `wine reg import`).
    void SetRegistryFile(std::filesystem::path regFile) { registryFile_ = std::move(regFile); }

    // Before Start: a variable of the host's environment (a transport
    // setting such as RAVELNET_HEADER_TIMEOUT_MS), set after the world's own.
    void SetHostVariable(const std::string& name, const std::string& value) { hostVariables_[name] = value; }

    // Starts the host and waits for its announcement; throws with the host's
    // standard error when it does not announce that the service runs.
    void Start();
    // Ctrl+C (SIGINT): the host stops the service and ends. Its exit status,
    // or nullopt when it does not end.
    std::optional<int> StopWithCtrlC();

    // The folder behind drive `letter` (C included).
    std::filesystem::path Drive(char letter) const;
    // The folder that holds bin/ (the product), log/ and Data/.
    virtual std::filesystem::path InstallRoot() const = 0;
    std::filesystem::path LogFile() const { return InstallRoot() / "log" / "qeclt.log"; }
    std::filesystem::path DataFile() const { return InstallRoot() / "Data" / "qelsyncfiles_dst.dat"; }
    // The log's bytes ("" when there is none yet).
    std::string ReadLog() const;

    const std::string& Announcement() const { return announcement_; }
    qelsrv::Endpoint Endpoint() const { return {"127.0.0.1", port_}; }
    // The host's process id while it runs (under Wine: the Linux process
    // that runs the Windows program), -1 before Start.
    pid_t HostPid() const { return host_ ? host_->Pid() : -1; }
    // The standard error of the host so far, for failure messages.
    std::string HostErrors() const;

protected:
    explicit ClientWorld(World kind);

    const std::filesystem::path& Scratch() const { return scratch_; }
    const std::vector<DriveSpec>& MappedDrives() const { return drives_; }
    const std::optional<std::string>& WriteModeValue() const { return writeModeValue_; }
    const std::optional<std::filesystem::path>& RegistryFile() const { return registryFile_; }
    // The world's own variables with the test's (SetHostVariable) over them.
    EnvironmentChanges HostEnvironment(EnvironmentChanges own) const;

    virtual std::filesystem::path SystemDrive() const = 0;
    // Applies the drives and the registry, then starts the host with
    // RAVELNET_PORT set to `port`.
    virtual std::unique_ptr<ChildProcess> Launch(uint16_t port) = 0;
    // After the host has ended (or been killed).
    virtual void AfterHost() { }
    // Ends the host (killing it when it still runs); each world's destructor
    // calls it, while its own AfterHost can still run.
    void EndHost();

private:
    World kind_;
    std::filesystem::path scratch_; // the test's temporary folder (drives, host output)
    std::vector<DriveSpec> drives_;
    std::optional<std::string> writeModeValue_;
    std::optional<std::filesystem::path> registryFile_;
    std::map<std::string, std::string> hostVariables_;
    std::unique_ptr<ChildProcess> host_;
    std::string announcement_;
    uint16_t port_ = 0;
};

// The other direction: Windows programs of the 64-bit build (qelsrv.exe)
// under Wine, in the same prefix (held for the object's life), with drive C
// only and the product in C:\QEL\bin\.
class WinePrograms {
public:
    WinePrograms();
    ~WinePrograms();
    WinePrograms(const WinePrograms&) = delete;
    WinePrograms& operator=(const WinePrograms&) = delete;

    // The folder behind C:.
    std::filesystem::path DriveC() const;
    // Runs a program with its arguments ({"C:\\QEL\\bin\\qelsrv.exe", ...}) to its end.
    CommandResult Run(const std::vector<std::string>& commandLine) const;

private:
    struct Prefix;
    std::unique_ptr<Prefix> prefix_;
};

// The 64-bit build installed as a Windows service in the test prefix (held
// for the object's life): the product in C:\QEL\bin\, drive C and the
// drives given mapped, and a persistent Wine session, so that the prefix's
// SCM (services.exe) and the service it starts live on between the commands
// the test runs (without one, Wine ends the SCM and its services with the
// last program of the session). Gone at the end: the service deleted, every
// process of the prefix ended.
struct ServiceState {
    int state = 0; // SERVICE_STOPPED (1) ... SERVICE_RUNNING (4)
    uint32_t win32ExitCode = 0;
    uint32_t serviceExitCode = 0;
};

class WineService {
public:
    static constexpr const char* kName = "QELClient";
    static constexpr int kStopped = 1;
    static constexpr int kRunning = 4;

    explicit WineService(const std::vector<char>& fixedDrives);
    ~WineService();
    WineService(const WineService&) = delete;
    WineService& operator=(const WineService&) = delete;

    std::filesystem::path Drive(char letter) const;
    std::filesystem::path InstallRoot() const;
    std::filesystem::path LogFile() const { return InstallRoot() / "log" / "qeclt.log"; }

    // A Windows program of the prefix or the product, to its end
    // ({"C:\\QEL\\bin\\QELCltCore.exe", "--install"}, {"sc", "start", ...}).
    CommandResult Run(const std::vector<std::string>& commandLine) const;
    // The same, left running: its standard input a pipe the test writes to,
    // its standard error kept (ChildProcess::ReadAllErrors); `wrapper`, when
    // given, runs Wine's runner (strace ...).
    std::unique_ptr<ChildProcess> Launch(const std::vector<std::string>& commandLine,
                                         const std::vector<std::string>& wrapper = {}) const;
    // A string value of the service's Parameters key.
    void SetParameter(const std::string& name, const std::string& value) const;
    // A machine-wide environment variable (Session Manager\Environment),
    // which the SCM hands to the services it starts after the next Reboot;
    // removed again at the end.
    void SetMachineVariable(const std::string& name, const std::string& value);
    // Ends the session and begins a new one, as a restart of the PC: the SCM
    // starts afresh and starts the automatic services.
    void Reboot() const;

    // `sc query`: nullopt when the SCM knows no such service.
    std::optional<ServiceState> Query() const;
    // The SCM's reported state once `accept` holds for it, asked again and
    // again (sc query) for at most `limit`; the last one seen otherwise.
    std::optional<ServiceState> WaitFor(const std::function<bool(const std::optional<ServiceState>&)>& accept,
                                        Milliseconds limit = Milliseconds(120000)) const;

private:
    struct Prefix;
    std::unique_ptr<Prefix> prefix_;
    std::vector<std::string> machineVariables_;
};

} // namespace e2e
