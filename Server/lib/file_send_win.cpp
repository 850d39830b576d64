// Files for SendFileRange on Windows: positioned reads into a buffer, then
// the ordinary send path.
#include "task_connection.h"

#include "net/socket.h"

#include <windows.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace qelsrv {
namespace {

namespace net = ravelnet::net;

HANDLE Handle(std::intptr_t native)
{
    return reinterpret_cast<HANDLE>(native);
}

std::string ErrorText(DWORD code)
{
    return "system error " + std::to_string(code);
}

} // namespace

InputFile InputFile::Open(const std::filesystem::path& path)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw TransferError(TransferErrorKind::File,
                            "cannot open " + path.string() + ": " + ErrorText(::GetLastError()));
    return InputFile(reinterpret_cast<std::intptr_t>(file));
}

void InputFile::UniqueFile::Close(std::intptr_t native)
{
    ::CloseHandle(Handle(native));
}

uint64_t InputFile::Size() const
{
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(Handle(Native()), &size))
        throw TransferError(TransferErrorKind::File, "cannot read a file's size: " + ErrorText(::GetLastError()));
    return static_cast<uint64_t>(size.QuadPart);
}

void TaskConnection::SendFileRange(std::intptr_t nativeFile, uint64_t offset, uint64_t length)
{
    RequireOpen();
    std::vector<char> buffer(256 * 1024);
    while (length > 0) {
        DWORD want = static_cast<DWORD>(std::min<uint64_t>(length, buffer.size()));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!::ReadFile(Handle(nativeFile), buffer.data(), want, &got, &at)) {
            DWORD error = ::GetLastError();
            if (error != ERROR_HANDLE_EOF)
                throw TransferError(TransferErrorKind::File, "reading a file to send: " + ErrorText(error));
            got = 0;
        }
        if (got == 0)
            throw TransferError(TransferErrorKind::File, "sending a file: the file ends before the range");
        Send(std::as_bytes(std::span(buffer.data(), got)));
        offset += got;
        length -= got;
    }
}

} // namespace qelsrv
