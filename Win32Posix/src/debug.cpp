// OutputDebugStringA: instead of a debugger, the text goes to the file named by
// QEL_DEBUG_OUTPUT (appended; "-" = stderr; unset or empty = discarded). Each
// call is one write() on a descriptor opened with O_APPEND, so texts from
// concurrent threads and processes never interleave. Not emulated: debugger
// detection and the DBWIN buffer; a text is written as is, with no line end
// added.
#include "environment.h"
#include "unique_fd.h"

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

// The open descriptor of the current target file, reopened when the
// environment names another one.
class DebugSink {
public:
    void Write(const char* text, size_t length)
    {
        const std::optional<std::string> target = win32posix::DebugOutputTarget();
        if (!target) {
            return;
        }
        if (*target == "-") {
            WriteAll(STDERR_FILENO, text, length);
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!fd_.IsValid() || path_ != *target) {
            Reopen(*target);
        }
        if (fd_.IsValid()) {
            WriteAll(fd_.Get(), text, length);
        }
    }

private:
    void Reopen(const std::string& path)
    {
        fd_.Reset(); // the old file is let go before the new one is opened
        fd_.Reset(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        path_ = path;
    }

    // One write() in the normal case; the loop only finishes a write that a
    // signal or a full pipe cut short.
    static void WriteAll(int fd, const char* text, size_t length)
    {
        while (length > 0) {
            const ssize_t written = write(fd, text, length);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return;
            }
            text += written;
            length -= static_cast<size_t>(written);
        }
    }

    std::mutex mutex_;
    win32posix::UniqueFd fd_;
    std::string path_;
};

DebugSink& Sink()
{
    static DebugSink* sink = new DebugSink; // never destroyed: usable until the process ends
    return *sink;
}

} // namespace

extern "C" void WINAPI OutputDebugStringA(LPCSTR lpOutputString)
{
    if (lpOutputString == nullptr) {
        return;
    }
    const int savedErrno = errno; // a debugger call leaves the caller's state alone
    Sink().Write(lpOutputString, strlen(lpOutputString));
    errno = savedErrno;
}
