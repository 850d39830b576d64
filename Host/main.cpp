// QELCltCore: the host process of the client core. Loads QekCore.dll from its
// own folder, starts the service and runs until it is asked to stop.
#include "StopSignal.h"
#include "qekcore.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr unsigned kDefaultTaskPort = 19750;

// The folder of this executable, with its trailing backslash.
std::string ExecutableDirectory()
{
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        return {};
    }
    std::string directory(path, length);
    const std::size_t lastBackslash = directory.rfind('\\');
    return lastBackslash == std::string::npos ? std::string{} : directory.substr(0, lastBackslash + 1);
}

// The port the task server listens on: the transport takes RAVELNET_PORT over
// the service's own port when it is set.
unsigned TaskPort()
{
    const char* overridden = std::getenv("RAVELNET_PORT");
    if (overridden == nullptr || *overridden == '\0') {
        return kDefaultTaskPort;
    }
    char* end = nullptr;
    const unsigned long port = std::strtoul(overridden, &end, 10);
    return *end == '\0' && port <= 65535 ? static_cast<unsigned>(port) : kDefaultTaskPort;
}

const char* DriveTypeName(UINT type)
{
    switch (type) {
    case DRIVE_FIXED: return "fixed";
    case DRIVE_REMOVABLE: return "removable";
    case DRIVE_REMOTE: return "remote";
    case DRIVE_CDROM: return "cdrom";
    case DRIVE_RAMDISK: return "ramdisk";
    case DRIVE_NO_ROOT_DIR: return "no root";
    default: return "unknown";
    }
}

// "C:\ fixed, D:\ fixed", or "none".
std::string DescribeDrives()
{
    char roots[4 * 26 + 2] = {};
    const DWORD length = GetLogicalDriveStringsA(sizeof roots - 1, roots);
    if (length == 0 || length >= sizeof roots) {
        return "none";
    }
    std::string description;
    for (const char* root = roots; *root != '\0'; root += std::strlen(root) + 1) {
        if (!description.empty()) {
            description += ", ";
        }
        description += root;
        description += ' ';
        description += DriveTypeName(GetDriveTypeA(root));
    }
    return description.empty() ? "none" : description;
}

// An entry point looked up by name, as the function type it has.
template <typename Proc>
Proc LookUp(HMODULE module, const char* name)
{
    // Through void(*)(), the generic function pointer type.
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

} // namespace

int main()
{
    // Before the core is loaded: the service's threads must not take the stop
    // request away from this thread.
    PrepareStopSignal();

    const std::string corePath = ExecutableDirectory() + "QekCore.dll";
    HMODULE core = LoadLibraryA(corePath.c_str());
    if (core == nullptr) {
        std::fprintf(stderr, "QELCltCore: cannot load %s (system error %lu)\n", corePath.c_str(),
                     static_cast<unsigned long>(GetLastError()));
        return 2;
    }
    const auto start = LookUp<QEK_StartServiceProc>(core, "QEK_StartService");
    const auto stop = LookUp<QEK_StopServiceProc>(core, "QEK_StopService");
    if (start == nullptr || stop == nullptr) {
        std::fprintf(stderr, "QELCltCore: %s lacks QEK_StartService or QEK_StopService\n",
                     corePath.c_str());
        return 2;
    }

    int32_t detail = 0;
    const int32_t status = start(0, 0, &detail);
    if (status != QEK_STATUS_RUNNING) {
        std::fprintf(stderr, "QELCltCore: the service did not start: status %ld, detail %ld\n",
                     static_cast<long>(status), static_cast<long>(detail));
        return 1;
    }
    std::printf("QELCltCore: service running, tasks on port %u, drives: %s\n", TaskPort(),
                DescribeDrives().c_str());
    std::fflush(stdout);

    WaitForStopSignal();
    stop();
    AcknowledgeStopSignal();
    std::printf("QELCltCore: service stopped\n");
    std::fflush(stdout);
    // The core stays loaded: the transport keeps calling into it until the
    // process ends.
    return 0;
}
