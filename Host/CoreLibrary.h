// The client core as the host uses it: QekCore.dll loaded at run time from
// the host's own folder, its start and stop, and what the host says about a
// running service. Shared by the console run and the Windows service.
#pragma once

#include "qekcore.h"

#include <cstdint>
#include <string>

class CoreLibrary {
public:
    // Loads the core; false with `error` set (a message naming the file) when
    // it cannot be loaded or lacks an entry point. `systemError` receives the
    // system's error code of a failed load, 0 otherwise.
    bool Load(std::string& error, unsigned long& systemError);
    // QEK_StartService: the service status (1 while it runs) and the detail.
    int32_t Start(int32_t& detail);
    // QEK_StopService.
    void Stop();

private:
    QEK_StartServiceProc start_ = nullptr;
    QEK_StopServiceProc stop_ = nullptr;
};

// The folder of this executable, with its trailing backslash ("" when unknown).
std::string ExecutableDirectory();
// The full path of this executable ("" when unknown).
std::string ExecutablePath();
// The port the task server listens on: RAVELNET_PORT when set, else 19750.
unsigned TaskPort();
// "C:\ fixed, D:\ fixed", or "none".
std::string DescribeDrives();
// The line that says the service runs: "service running, tasks on port N,
// drives: ..." (without the program's name).
std::string RunningLine();
