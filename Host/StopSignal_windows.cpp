// Windows: a console control handler sets an event that the main thread waits
// for. Closing the console leaves the handler only a few seconds, so the
// handler waits until the main thread has stopped the service.
#include "StopSignal.h"

#include <windows.h>

namespace {

HANDLE stopRequested = nullptr;
HANDLE stopDone = nullptr;

BOOL WINAPI OnConsoleControl(DWORD controlType)
{
    switch (controlType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        SetEvent(stopRequested);
        if (controlType == CTRL_CLOSE_EVENT || controlType == CTRL_LOGOFF_EVENT || controlType == CTRL_SHUTDOWN_EVENT) {
            WaitForSingleObject(stopDone, 5000);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

void PrepareStopSignal()
{
    stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    stopDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void WaitForStopSignal()
{
    WaitForSingleObject(stopRequested, INFINITE);
}

void AcknowledgeStopSignal()
{
    SetEvent(stopDone);
}
