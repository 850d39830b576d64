#include "CoreLibrary.h"

#include "protocol/TaskRecords.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

using qek::protocol::kDefaultTaskPort;

namespace {

const char* DriveTypeName(UINT type)
{
    switch (type) {
    case DRIVE_FIXED:
        return "fixed";
    case DRIVE_REMOVABLE:
        return "removable";
    case DRIVE_REMOTE:
        return "remote";
    case DRIVE_CDROM:
        return "cdrom";
    case DRIVE_RAMDISK:
        return "ramdisk";
    case DRIVE_NO_ROOT_DIR:
        return "no root";
    default:
        return "unknown";
    }
}

// An entry point looked up by name, as the function type it has.
template <typename Proc>
Proc LookUp(HMODULE module, const char* name)
{
    // Through void(*)(), the generic function pointer type.
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

} // namespace

bool CoreLibrary::Load(std::string& error, unsigned long& systemError)
{
    systemError = 0;
    const std::string corePath = ExecutableDirectory() + "QekCore.dll";
    HMODULE core = LoadLibraryA(corePath.c_str());
    if (core == nullptr) {
        systemError = GetLastError();
        error = "cannot load " + corePath + " (system error " + std::to_string(systemError) + ")";
        return false;
    }
    start_ = LookUp<QEK_StartServiceProc>(core, "QEK_StartService");
    stop_ = LookUp<QEK_StopServiceProc>(core, "QEK_StopService");
    if (start_ == nullptr || stop_ == nullptr) {
        systemError = ERROR_PROC_NOT_FOUND;
        error = corePath + " lacks QEK_StartService or QEK_StopService";
        return false;
    }
    // The core stays loaded: the transport keeps calling into it until the
    // process ends.
    return true;
}

int32_t CoreLibrary::Start(int32_t& detail)
{
    detail = 0;
    return start_(0, 0, &detail);
}

void CoreLibrary::Stop()
{
    stop_();
}

std::string ExecutablePath()
{
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        return {};
    }
    return std::string(path, length);
}

std::string ExecutableDirectory()
{
    const std::string path = ExecutablePath();
    const std::size_t lastBackslash = path.rfind('\\');
    return lastBackslash == std::string::npos ? std::string{} : path.substr(0, lastBackslash + 1);
}

unsigned TaskPort()
{
    // The transport takes RAVELNET_PORT over the service's own port when it
    // is set.
    const char* overridden = std::getenv("RAVELNET_PORT");
    if (overridden == nullptr || *overridden == '\0') {
        return kDefaultTaskPort;
    }
    char* end = nullptr;
    const unsigned long port = std::strtoul(overridden, &end, 10);
    return *end == '\0' && port <= 65535 ? static_cast<unsigned>(port) : kDefaultTaskPort;
}

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

std::string RunningLine()
{
    return "service running, tasks on port " + std::to_string(TaskPort()) + ", drives: " + DescribeDrives();
}
