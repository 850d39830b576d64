// The result of the core's operations: success, or a failure that carries the
// code the log shows (a system error code, a transport result, or one of the
// service's own codes).
#pragma once

#include <windows.h>

namespace qek {

// A failure stays a failure whatever its code: the system may report
// ERROR_INVALID_FUNCTION, which is 1, or no code at all, and neither may ever
// read as success. [[nodiscard]]: a status that nobody looks at is a failure
// that nobody sees.
class [[nodiscard]] Status {
public:
    static Status Ok() { return Status(true, 0); }
    static Status Failure(int code) { return Status(false, code); }

    // The calling thread's last system error, or `fallback` when the call that
    // failed left none.
    static Status LastError(int fallback)
    {
        const DWORD error = GetLastError();
        return Failure(error != ERROR_SUCCESS ? static_cast<int>(error) : fallback);
    }

    // Success when `succeeded`, else the last system error (or `fallback`).
    static Status FromCall(BOOL succeeded, int fallback) { return succeeded ? Ok() : LastError(fallback); }

    bool IsOk() const { return ok_; }
    bool Failed() const { return !ok_; }

    // The failure's code; 0 for success.
    int Code() const { return code_; }

private:
    Status(bool ok, int code) : ok_(ok), code_(code) { }

    bool ok_;
    int code_;
};

} // namespace qek
