// QEK_StartService and QEK_StopService: the order of start-up and shut-down
// and the service status.
//
// Status: 0 when the module is loaded and again after a stop; 1 while the
// service runs; the failure's code after a failed start. A start runs the
// start-up unless the status is 1; a stop runs the shut-down only when it is.
//
// The task server, once open, stays open for the life of the process (the
// transport keeps its port and its callback), so a start after a stop does not
// open it again: it creates a new log and binding and accepts tasks again on
// the server already open. A failed start releases the log and the binding it
// made before it returns.
#include "qekcore.h"

#include "base/LogFile.h"
#include "base/ModulePaths.h"
#include "base/Paths.h"
#include "service/HelperLibrary.h"
#include "service/QxException.h"
#include "service/ServiceLifecycle.h"
#include "service/SyncService.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <memory>

namespace qek {

namespace {

constexpr int32_t kStatusNotRunning = 0;
constexpr int32_t kStatusRunning = 1;
constexpr const char* kModuleName = "QELCltCore.exe";

int32_t serviceStatus = kStatusNotRunning;
bool taskServerOpen = false;
std::atomic<bool> acceptingTasks{false};

// The log beside the host executable: "..\log\qeclt.log". Creates the log
// directory (its result is not examined; the log never creates it itself).
std::shared_ptr<LogFile> CreateModuleLog()
{
    auto log = std::make_shared<LogFile>(kModuleName);
    char directory[kPathBufferSize];
    // Without the executable's folder, or with a path that does not fit, the
    // log has no file: it writes nothing (its lines still reach the debugger).
    if (!GetExecutableDirectory(directory, sizeof directory)) {
        return log;
    }
    char logDirectory[kPathBufferSize];
    std::memcpy(logDirectory, directory, sizeof logDirectory);
    if (AppendIfFits(logDirectory, sizeof logDirectory, "..\\log\\")) {
        CreateDirectoryA(logDirectory, nullptr);
    }
    char logPath[kPathBufferSize];
    std::memcpy(logPath, directory, sizeof logPath);
    if (AppendIfFits(logPath, sizeof logPath, "..\\log\\qeclt.log")) {
        log->SetPath(logPath);
    }
    return log;
}

// Opens the task server the first time; afterwards the open one serves on.
int OpenTaskServerOnce()
{
    if (taskServerOpen) {
        return 1;
    }
    const int result = TheSyncService().OpenTaskServer();
    taskServerOpen = result == 1;
    return result;
}

// Binds the helper library and opens the task server, turning the exceptions
// of the way into the status. The flag line is written whether the open
// succeeded or not; a failure by exception writes its own line instead.
int32_t BindAndOpen(int32_t* detail)
{
    try {
        RegisterHelperLibrary(std::make_unique<HelperLibrary>());
        // From here on the server may hand in tasks, also before this start
        // has written its last lines.
        acceptingTasks = true;
        const int32_t status = OpenTaskServerOnce();
        Log(ModuleLog(), "QEK_CORE: 缓存写入开关标志为(%d)", WriteModeFlag(TheSyncService().FileWriteMode()));
        return status;
    } catch (const CQx_Exception& failure) {
        *detail = static_cast<int32_t>(failure.SystemErrorCode());
        Log(ModuleLog(), "初始化环境失败:%d,%d", failure.ErrorCode(), static_cast<int32_t>(failure.SystemErrorCode()));
        return failure.ErrorCode();
    } catch (const std::exception& failure) {
        *detail = static_cast<int32_t>(GetLastError());
        Log(ModuleLog(), "初始化环境失败:%s", failure.what());
        return kResultStartupStdException;
    }
}

// Lets go of what a start or a running service holds: no task is accepted
// any more, the helper library is released, the log closes with its last
// holder.
void ReleaseServiceObjects()
{
    acceptingTasks = false;
    UnregisterHelperLibrary().reset();
    SetModuleLog(nullptr);
}

} // namespace

bool ServiceAcceptsTasks()
{
    return acceptingTasks;
}

} // namespace qek

// The exported entry points stand outside the core's namespace.
using namespace qek;

extern "C" QEK_API int32_t QEK_CALL QEK_StartService(uint32_t, uint32_t, int32_t* detail)
{
    if (serviceStatus == kStatusRunning) {
        return serviceStatus;
    }
    try {
        SetModuleLog(CreateModuleLog());
    } catch (const std::exception&) {
        // Out of memory for the log itself: nothing can be logged.
        *detail = static_cast<int32_t>(GetLastError());
        serviceStatus = kResultStartupStdException;
        return serviceStatus;
    }

    serviceStatus = BindAndOpen(detail);
    if (serviceStatus == kStatusRunning) {
        Log(ModuleLog(), "初始化环境成功，开始工作..");
    } else {
        ReleaseServiceObjects();
    }
    return serviceStatus;
}

extern "C" QEK_API int32_t QEK_CALL QEK_StopService(void)
{
    if (serviceStatus != kStatusRunning) {
        return 1;
    }
    acceptingTasks = false;
    TheSyncService().Stop();
    serviceStatus = kStatusNotRunning;

    UnregisterHelperLibrary().reset();
    OutputDebugStringA("\r\n");
    OutputDebugStringA("\n");
    if (const std::shared_ptr<LogFile> log = ModuleLog()) {
        log->Write("\r\n", 2);
    }
    ReleaseServiceObjects();
    return 1;
}
