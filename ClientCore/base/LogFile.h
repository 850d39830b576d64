// The service's log: one text file beside the host executable, one line per
// message, each line flushed before the write returns. Every message also goes
// to the debugger output.
#pragma once

#include "base/Owners.h"

#include <windows.h>

#include <memory>

namespace qek {

class LogFile {
public:
    explicit LogFile(const char* moduleName);
    virtual ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Forgets an earlier path, closes an open file, keeps a copy of `path`.
    void SetPath(const char* path);
    // Opens the file if needed (a failed open is tried again by the next
    // line), then writes `text` as one line.
    void Write(const char* text, int length);
    // Writes one time-stamped line to the open file; nothing while it is closed.
    virtual void WriteLine(const char* text, int length);

    const char* ModuleName() const { return moduleName_; }

private:
    // With a path and no open file: opens the file, creating it when missing
    // (never its directory), and moves to its end. Called under the lock.
    void OpenIfNeeded();

    CRITICAL_SECTION lock_;
    std::unique_ptr<char[]> path_;
    UniqueHandle file_;
    char moduleName_[256] = {};
};

// The module's log, created by the start and released by the stop. Shared, so
// that a task writing a line keeps it alive while the stop lets it go; empty
// while the service is not started.
std::shared_ptr<LogFile> ModuleLog();
void SetModuleLog(std::shared_ptr<LogFile> log);

// Formats one message (%d and %s only) and writes it as one line:
// "<module name>: <message>", also sent to the debugger output (without the
// time stamp, followed by "\n"). Does nothing without a log. The caller's
// reference keeps the log alive until the line is written, also when the stop
// lets the module's log go meanwhile: log through `Log(ModuleLog(), ...)`.
void Log(const std::shared_ptr<LogFile>& log, const char* format, ...);

} // namespace qek
