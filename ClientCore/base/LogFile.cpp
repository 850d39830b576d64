#include "base/LogFile.h"

#include "base/SystemNames.h"

#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

namespace qek {

namespace {

constexpr std::size_t kMessageBufferSize = 1024;
constexpr int kTimeStampLength = 19; // "YYYY-MM-DD hh:mm:ss"

// Copies at most `size - 1` bytes of `source` and terminates the result.
void CopyBounded(char* destination, std::size_t size, const char* source)
{
    std::size_t length = 0;
    while (length + 1 < size && source[length] != '\0') {
        ++length;
    }
    std::memcpy(destination, source, length);
    destination[length] = '\0';
}

// Appends `source` to the text of `length` bytes in `buffer` as far as it
// fits, never cutting a two-byte character in half. Returns the new length.
std::size_t AppendWholeCharacters(char* buffer, std::size_t size, std::size_t length, const char* source)
{
    const std::string_view text(source);
    std::size_t read = 0;
    while (read < text.size()) {
        const std::size_t width = SystemNames().CharacterLength(text, read);
        if (length + width >= size) {
            break;
        }
        std::memcpy(buffer + length, text.data() + read, width);
        length += width;
        read += width;
    }
    buffer[length] = '\0';
    return length;
}

void PutDigits(char* out, unsigned value, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// The local time as "%Y-%m-%d %H:%M:%S" in a 20-byte buffer.
void FormatLocalTime(char (&stamp)[20])
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    std::memcpy(stamp, "0000-00-00 00:00:00", sizeof stamp);
    PutDigits(stamp, now.wYear, 4);
    PutDigits(stamp + 5, now.wMonth, 2);
    PutDigits(stamp + 8, now.wDay, 2);
    PutDigits(stamp + 11, now.wHour, 2);
    PutDigits(stamp + 14, now.wMinute, 2);
    PutDigits(stamp + 17, now.wSecond, 2);
}

void WriteBytes(HANDLE file, const void* bytes, DWORD length)
{
    DWORD written = 0;
    WriteFile(file, bytes, length, &written, nullptr); // results are not examined
}

// The module's log. Held behind a pointer that is never destroyed, so that a
// task still running while the process exits never finds it torn down.
struct ModuleLogSlot {
    std::mutex lock;
    std::shared_ptr<LogFile> log;
};

ModuleLogSlot& TheModuleLogSlot()
{
    static ModuleLogSlot* slot = new ModuleLogSlot;
    return *slot;
}

} // namespace

LogFile::LogFile(const char* moduleName)
{
    InitializeCriticalSection(&lock_);
    CopyBounded(moduleName_, sizeof moduleName_, moduleName);
}

LogFile::~LogFile()
{
    DeleteCriticalSection(&lock_);
}

void LogFile::SetPath(const char* path)
{
    EnterCriticalSection(&lock_);
    path_.reset();
    file_.Reset();
    const std::size_t size = std::strlen(path) + 1;
    path_ = std::make_unique<char[]>(size);
    std::memcpy(path_.get(), path, size);
    LeaveCriticalSection(&lock_);
}

void LogFile::Write(const char* text, int length)
{
    EnterCriticalSection(&lock_);
    OpenIfNeeded();
    WriteLine(text, length);
    LeaveCriticalSection(&lock_);
}

void LogFile::WriteLine(const char* text, int length)
{
    if (!file_.IsValid()) {
        return;
    }
    const HANDLE file = file_.Get();
    // Each line goes at the file's current end: another writer of the same
    // file (a second host started on the same install) may have added lines
    // since this one was opened, and they must not be overwritten.
    SetFilePointer(file, 0, nullptr, FILE_END);
    char stamp[20];
    FormatLocalTime(stamp);
    WriteBytes(file, stamp, kTimeStampLength);
    WriteBytes(file, " ", 1);
    WriteBytes(file, text, length > 0 ? static_cast<DWORD>(length) : 0);
    WriteBytes(file, "\r\n", 2);
    FlushFileBuffers(file);
}

void LogFile::OpenIfNeeded()
{
    if (file_.IsValid() || path_ == nullptr) {
        return;
    }
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    file_.Reset(
        CreateFileA(path_.get(), GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_.IsValid() && GetLastError() == ERROR_FILE_NOT_FOUND) {
        file_.Reset(
            CreateFileA(path_.get(), GENERIC_WRITE, kShare, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (file_.IsValid()) {
        SetFilePointer(file_.Get(), 0, nullptr, FILE_END);
    }
}

std::shared_ptr<LogFile> ModuleLog()
{
    ModuleLogSlot& slot = TheModuleLogSlot();
    std::lock_guard<std::mutex> guard(slot.lock);
    return slot.log;
}

void SetModuleLog(std::shared_ptr<LogFile> log)
{
    ModuleLogSlot& slot = TheModuleLogSlot();
    std::shared_ptr<LogFile> previous;
    {
        std::lock_guard<std::mutex> guard(slot.lock);
        previous = std::exchange(slot.log, std::move(log));
    }
    // The previous log is let go outside the lock: when this was its last
    // holder, its destructor closes the file here.
}

void Log(const std::shared_ptr<LogFile>& log, const char* format, ...)
{
    if (!log) {
        return;
    }
    char formatCopy[kMessageBufferSize];
    CopyBounded(formatCopy, sizeof formatCopy, format);

    char message[kMessageBufferSize];
    message[0] = '\0';
    va_list arguments;
    va_start(arguments, format);
    wvsprintfA(message, formatCopy, arguments);
    va_end(arguments);
    message[sizeof message - 1] = '\0';

    // "<module name>: <message>"; a message too long for the buffer is cut at
    // a character boundary.
    char text[kMessageBufferSize];
    std::size_t length = AppendWholeCharacters(text, sizeof text, 0, log->ModuleName());
    length = AppendWholeCharacters(text, sizeof text, length, ": ");
    length = AppendWholeCharacters(text, sizeof text, length, message);

    OutputDebugStringA(text);
    OutputDebugStringA("\n");
    log->Write(text, static_cast<int>(length));
}

} // namespace qek
