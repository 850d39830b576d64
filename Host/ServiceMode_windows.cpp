// Windows: the host as its own service (SERVICE_WIN32_OWN_PROCESS).
//
// --install registers "<this executable>" --service: automatic start, the
// account given (LocalSystem by default) with its password from a file or
// standard input (ServicePassword.h), a description, and recovery that
// restarts the service 10 s after it fails (also when it stops with an error
// code of its own, as a failed start does). --uninstall stops it, waiting for
// the SCM to report it stopped, and deletes it.
//
// Started by the SCM, the service reports START_PENDING, applies the settings
// of its Parameters key (ServiceParameters.h), loads and starts the core and
// reports RUNNING. SERVICE_CONTROL_STOP and SERVICE_CONTROL_SHUTDOWN report
// STOP_PENDING; the service thread then stops the core (its closing log
// lines are written) and only after that reports STOPPED. A start that fails
// reports STOPPED with ERROR_SERVICE_SPECIFIC_ERROR and the core's status as
// the service-specific exit code (a core that cannot be loaded: the system
// error as the Win32 exit code), and says why in the event log and the
// debugger output.
#include "ServiceMode.h"

#include "CoreLibrary.h"
#include "ServiceParameters.h"
#include "ServicePassword.h"

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

namespace {

constexpr DWORD kStartWaitHint = 30000;
constexpr DWORD kStopWaitHint = 30000;
constexpr DWORD kRestartDelayMs = 10000;
constexpr DWORD kFailureCountResetSeconds = 24 * 60 * 60;
constexpr DWORD kUninstallStopLimitMs = 60000;
constexpr DWORD kEventFailedStart = 1;
constexpr const char* kDisplayName = "QEL client";
constexpr const char* kDescription =
    "Carries out the game-file synchronisation tasks of the QEL sync server (game update, directory sync, "
    "delete game, disk info) on this PC. Settings: the string values of this service's Parameters key.";

// ---- Messages: the console of --install and --uninstall, the debugger output
// and the event log of the service ---------------------------------------------

std::string SystemMessage(DWORD error)
{
    char* text = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    return "system error " + std::to_string(error) + (message.empty() ? "" : ": " + message);
}

int Fail(const std::string& what, DWORD error)
{
    std::fprintf(stderr, "QELCltCore: %s (%s)\n", what.c_str(), SystemMessage(error).c_str());
    return 1;
}

void DebugLine(const std::string& serviceName, const std::string& text)
{
    OutputDebugStringA((serviceName + ": " + text + "\n").c_str());
}

// An error event under the service's name in the Application log; the
// debugger output gets the same line (also where there is no event log).
void ReportError(const std::string& serviceName, const std::string& text)
{
    DebugLine(serviceName, text);
    HANDLE source = RegisterEventSourceA(nullptr, serviceName.c_str());
    if (source == nullptr) {
        return;
    }
    const char* strings[] = {text.c_str()};
    ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, kEventFailedStart, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

// ---- Handles ------------------------------------------------------------------

class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) { }
    ~ServiceHandle()
    {
        if (handle_ != nullptr) {
            CloseServiceHandle(handle_);
        }
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    SC_HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

// ---- The service, as the SCM runs it -----------------------------------------

struct RunningService {
    std::string name = kServiceName;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    SERVICE_STATUS status{};
    HANDLE stopRequested = nullptr;
    LONG stopping = 0;
    CRITICAL_SECTION statusLock;
};

RunningService service;

// Reports a state; pending states count their checkpoint up.
void Report(DWORD state, DWORD waitHint = 0, DWORD win32ExitCode = NO_ERROR, DWORD specificExitCode = 0)
{
    EnterCriticalSection(&service.statusLock);
    SERVICE_STATUS& status = service.status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = win32ExitCode;
    status.dwServiceSpecificExitCode = specificExitCode;
    status.dwWaitHint = waitHint;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    SetServiceStatus(service.statusHandle, &status);
    LeaveCriticalSection(&service.statusLock);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // Once: a second request while stopping changes nothing.
        if (InterlockedExchange(&service.stopping, 1) == 0) {
            Report(SERVICE_STOP_PENDING, kStopWaitHint);
            SetEvent(service.stopRequested);
        }
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD argc, char** argv)
{
    if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0') {
        service.name = argv[0];
    }
    service.statusHandle = RegisterServiceCtrlHandlerExA(service.name.c_str(), OnControl, nullptr);
    if (service.statusHandle == nullptr) {
        DebugLine(service.name, "cannot register the control handler (" + SystemMessage(GetLastError()) + ")");
        return;
    }
    Report(SERVICE_START_PENDING, kStartWaitHint);

    const AppliedParameters parameters = ApplyServiceParameters(service.name);
    for (const std::string& name : parameters.set) {
        DebugLine(service.name, "setting " + name + " from the Parameters key");
    }
    for (const std::string& name : parameters.kept) {
        DebugLine(service.name, name + " is set already: its Parameters value is not used");
    }
    for (const std::string& name : parameters.ignored) {
        DebugLine(service.name, "the Parameters value " + name + " is not a string: ignored");
    }
    Report(SERVICE_START_PENDING, kStartWaitHint);

    CoreLibrary core;
    std::string error;
    unsigned long systemError = 0;
    if (!core.Load(error, systemError)) {
        ReportError(service.name, "the service did not start: " + error);
        Report(SERVICE_STOPPED, 0, systemError != 0 ? systemError : ERROR_MOD_NOT_FOUND);
        return;
    }
    int32_t detail = 0;
    const int32_t status = core.Start(detail);
    if (status != QEK_STATUS_RUNNING) {
        ReportError(service.name, "the service did not start: status " + std::to_string(status) + ", detail " +
                                      std::to_string(detail));
        Report(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(status));
        return;
    }
    Report(SERVICE_RUNNING);
    DebugLine(service.name, RunningLine());

    WaitForSingleObject(service.stopRequested, INFINITE);
    core.Stop();
    DebugLine(service.name, "service stopped");
    Report(SERVICE_STOPPED);
}

// ---- Installing and removing -------------------------------------------------

bool Configure(SC_HANDLE handle)
{
    SERVICE_DESCRIPTIONA description{const_cast<char*>(kDescription)};
    if (!ChangeServiceConfig2A(handle, SERVICE_CONFIG_DESCRIPTION, &description)) {
        Fail("cannot set the service's description", GetLastError());
        return false;
    }
    SC_ACTION restart[3] = {{SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_RESTART, kRestartDelayMs}};
    SERVICE_FAILURE_ACTIONSA actions{};
    actions.dwResetPeriod = kFailureCountResetSeconds;
    actions.cActions = 3;
    actions.lpsaActions = restart;
    if (!ChangeServiceConfig2A(handle, SERVICE_CONFIG_FAILURE_ACTIONS, &actions)) {
        Fail("cannot set the service's recovery", GetLastError());
        return false;
    }
    // A stop with an error code (a failed start) counts as a failure too.
    // Wine's SCM does not know this setting: there only a crash is one.
    SERVICE_FAILURE_ACTIONS_FLAG onErrorStops{TRUE};
    if (!ChangeServiceConfig2A(handle, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrorStops)) {
        std::fprintf(stderr, "QELCltCore: note: recovery applies to crashes only here (%s)\n",
                     SystemMessage(GetLastError()).c_str());
    }
    return true;
}

// The password of the account the service is to run as, in `password`
// (left empty for LocalSystem and the accounts that have none); false,
// having said why, when it is needed and cannot be had.
bool AccountPassword(const InstallOptions& options, std::optional<std::string>& password)
{
    if (!options.account || AccountWithoutPassword(*options.account)) {
        if (options.passwordFile) {
            std::fprintf(stderr, "QELCltCore: note: %s has no password; --password-file is not read\n",
                         options.account ? options.account->c_str() : "LocalSystem");
        }
        return true;
    }
    std::string error;
    password = options.passwordFile ? ReadPasswordFile(*options.passwordFile, error)
                                    : ReadPasswordInput(GetStdHandle(STD_INPUT_HANDLE), *options.account, error);
    if (!password) {
        std::fprintf(stderr, "QELCltCore: the service is not installed: %s (the password of %s)\n", error.c_str(),
                     options.account->c_str());
        return false;
    }
    return true;
}

} // namespace

int InstallService(const InstallOptions& options)
{
    const std::string executable = ExecutablePath();
    if (executable.empty()) {
        return Fail("cannot tell this program's own path", GetLastError());
    }
    const std::string commandLine = "\"" + executable + "\" --service";
    std::optional<std::string> password;
    if (!AccountPassword(options, password)) {
        return 2;
    }
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        return Fail("cannot open the service control manager (run as administrator)", GetLastError());
    }
    ServiceHandle handle(
        CreateServiceA(manager.Get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr, nullptr,
                       options.account ? options.account->c_str() : nullptr, password ? password->c_str() : nullptr));
    const DWORD createError = GetLastError();
    if (password) {
        ErasePassword(*password);
    }
    if (!handle) {
        const DWORD error = createError;
        return Fail(error == ERROR_SERVICE_EXISTS
                        ? std::string("the service ") + kServiceName + " is installed already (--uninstall removes it)"
                        : std::string("cannot create the service ") + kServiceName,
                    error);
    }
    if (!Configure(handle.Get())) {
        DeleteService(handle.Get());
        return 1;
    }
    std::printf("QELCltCore: installed the service %s (automatic start, account %s, restart after 10 s on "
                "failure): %s\n",
                kServiceName, options.account ? options.account->c_str() : "LocalSystem", commandLine.c_str());
    std::printf("QELCltCore: settings go to HKLM\\SYSTEM\\CurrentControlSet\\Services\\%s\\Parameters; start it "
                "with: sc start %s\n",
                kServiceName, kServiceName);
    return 0;
}

int UninstallService()
{
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return Fail("cannot open the service control manager (run as administrator)", GetLastError());
    }
    ServiceHandle handle(OpenServiceA(manager.Get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!handle) {
        const DWORD error = GetLastError();
        return Fail(error == ERROR_SERVICE_DOES_NOT_EXIST
                        ? std::string("the service ") + kServiceName + " is not installed"
                        : std::string("cannot open the service ") + kServiceName,
                    error);
    }
    SERVICE_STATUS status{};
    if (QueryServiceStatus(handle.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        if (status.dwCurrentState != SERVICE_STOP_PENDING &&
            !ControlService(handle.Get(), SERVICE_CONTROL_STOP, &status)) {
            const DWORD error = GetLastError();
            if (error != ERROR_SERVICE_NOT_ACTIVE) {
                return Fail(std::string("cannot stop the service ") + kServiceName, error);
            }
        }
        // The SCM's reported state, asked again until it says stopped.
        const ULONGLONG deadline = GetTickCount64() + kUninstallStopLimitMs;
        while (QueryServiceStatus(handle.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED &&
               GetTickCount64() < deadline) {
            Sleep(200);
        }
        if (status.dwCurrentState != SERVICE_STOPPED) {
            std::fprintf(stderr, "QELCltCore: the service %s did not stop within %lu s; removing it anyway\n",
                         kServiceName, static_cast<unsigned long>(kUninstallStopLimitMs / 1000));
        }
    }
    if (!DeleteService(handle.Get())) {
        return Fail(std::string("cannot remove the service ") + kServiceName, GetLastError());
    }
    std::printf("QELCltCore: removed the service %s\n", kServiceName);
    return 0;
}

int RunAsService()
{
    InitializeCriticalSection(&service.statusLock);
    service.stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char name[64] = {};
    lstrcpynA(name, kServiceName, sizeof name);
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        return Fail("--service is the command line the service control manager starts; in a console run "
                    "QELCltCore without it",
                    GetLastError());
    }
    return service.status.dwWin32ExitCode == NO_ERROR ? 0 : 1;
}
