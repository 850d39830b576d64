// The owner of a host file descriptor. Every descriptor the layer opens is
// held by one, so that no way out of a call (an error found half-way, an
// early return) leaves it open; nothing else in the layer closes one.
#ifndef QEL_WIN32POSIX_UNIQUE_FD_H
#define QEL_WIN32POSIX_UNIQUE_FD_H

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace win32posix {

// Move-only: a descriptor changes hands by moving. Closing leaves errno as it
// was, so that letting one go on an error path keeps the error that led there.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) { }
    ~UniqueFd() { Reset(); }

    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) { }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool IsValid() const { return fd_ >= 0; }

    // Gives the descriptor up without closing it (to a new owner such as a
    // directory stream).
    int Release() { return std::exchange(fd_, -1); }

    // Closes what is held (if anything) and holds `fd` instead.
    void Reset(int fd = -1)
    {
        const int old = std::exchange(fd_, fd);
        if (old < 0)
            return;
        const int savedErrno = errno;
        close(old);
        errno = savedErrno;
    }

private:
    int fd_ = -1;
};

} // namespace win32posix

#endif
