// Files for SendFileRange on POSIX: sendfile from the page cache straight to
// the socket, with SIGPIPE kept from the process.
#include "task_connection.h"

#include "net/socket.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qelsrv {
namespace {

namespace net = ravelnet::net;

// sendfile has no MSG_NOSIGNAL: block SIGPIPE on this thread for the call and
// swallow one that the call itself raised, leaving the process's handling of
// SIGPIPE untouched.
class SigpipeBlocked {
public:
    SigpipeBlocked()
    {
        sigemptyset(&pipeOnly_);
        sigaddset(&pipeOnly_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previous_);
        pendingBefore_ = IsPending();
    }
    ~SigpipeBlocked()
    {
        if (!pendingBefore_ && IsPending()) {
            timespec none{0, 0};
            sigtimedwait(&pipeOnly_, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlocked(const SigpipeBlocked&) = delete;
    SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

private:
    static bool IsPending()
    {
        sigset_t pending;
        sigpending(&pending);
        return sigismember(&pending, SIGPIPE) == 1;
    }
    sigset_t pipeOnly_;
    sigset_t previous_;
    bool pendingBefore_ = false;
};

bool IsConnectionError(int error)
{
    return error == EPIPE || error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
}

[[noreturn]] void ThrowErrno(int error, const char* what)
{
    throw TransferError(IsConnectionError(error) ? TransferErrorKind::Socket : TransferErrorKind::File,
                        std::string(what) + ": " + std::strerror(error));
}

[[noreturn]] void ThrowShortFile()
{
    throw TransferError(TransferErrorKind::File, "sending a file: the file ends before the range");
}

void WaitForRoom(net::NativeSocket socket, uint32_t timeoutMs)
{
    net::Transfer room = net::WaitForSendRoom(socket, timeoutMs);
    if (room == net::Transfer::TimedOut)
        throw TransferError(TransferErrorKind::Timeout, "sending a file: timed out");
    if (room != net::Transfer::Complete)
        throw TransferError(TransferErrorKind::Socket, "sending a file: waiting for the socket failed");
}

// For descriptors sendfile does not take (pipes and the like): read and send.
void CopyByReading(net::NativeSocket socket, int fd, uint64_t offset, uint64_t length, uint32_t timeoutMs)
{
    std::vector<char> buffer(256 * 1024);
    while (length > 0) {
        std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(length, buffer.size()));
        ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            ThrowErrno(errno, "reading a file to send");
        if (got == 0)
            ThrowShortFile();
        net::Transfer sent = net::SendAll(socket, buffer.data(), static_cast<std::size_t>(got), timeoutMs);
        if (sent == net::Transfer::TimedOut)
            throw TransferError(TransferErrorKind::Timeout, "sending a file: timed out");
        if (sent != net::Transfer::Complete)
            ThrowErrno(net::LastSocketError(), "sending a file");
        offset += static_cast<uint64_t>(got);
        length -= static_cast<uint64_t>(got);
    }
}

} // namespace

InputFile InputFile::Open(const std::filesystem::path& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw TransferError(TransferErrorKind::File, "cannot open " + path.string() + ": " + std::strerror(errno));
    return InputFile(fd);
}

void InputFile::UniqueFile::Close(std::intptr_t native)
{
    ::close(static_cast<int>(native));
}

uint64_t InputFile::Size() const
{
    struct stat status { };
    if (::fstat(static_cast<int>(Native()), &status) != 0)
        throw TransferError(TransferErrorKind::File, std::string("cannot read a file's size: ") + std::strerror(errno));
    return static_cast<uint64_t>(status.st_size);
}

void TaskConnection::SendFileRange(std::intptr_t nativeFile, uint64_t offset, uint64_t length)
{
    RequireOpen();
    const int fd = static_cast<int>(nativeFile);
    constexpr uint64_t kLargestCall = 1u << 30;
    SigpipeBlocked noSignal;
    off_t position = static_cast<off_t>(offset);
    while (length > 0) {
        ssize_t sent = ::sendfile(static_cast<int>(socket_.Get()), fd, &position,
                                  static_cast<std::size_t>(std::min(length, kLargestCall)));
        if (sent > 0) {
            length -= static_cast<uint64_t>(sent);
            continue;
        }
        if (sent == 0)
            ThrowShortFile();
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            WaitForRoom(socket_.Get(), timeoutMs_);
            continue;
        }
        if (errno == EINVAL || errno == ENOSYS) {
            CopyByReading(socket_.Get(), fd, static_cast<uint64_t>(position), length, timeoutMs_);
            return;
        }
        ThrowErrno(errno, "sending a file");
    }
}

} // namespace qelsrv
