// Emulates Windows file attributes on host entries: read-only is the owner
// write bit (setting it clears every write bit), hidden and system live in the
// extended attribute "user.DOSATTRIB" (the "0x%x" text that Samba and Wine
// also use) where the file system keeps one, directory and reparse point
// (symbolic link) come from the entry's type. It does not emulate the archive,
// compressed, encrypted, offline, temporary or sparse bits: a plain file
// reports FILE_ATTRIBUTE_NORMAL where Windows would usually add ARCHIVE.
#include "attributes.h"

#include "errors.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace win32posix {
namespace {

constexpr const char* kXattrName = "user.DOSATTRIB";

DWORD ParseStored(const char* text, ssize_t length)
{
    if (length <= 0)
        return 0;
    std::string value(text, size_t(length));
    unsigned long parsed = std::strtoul(value.c_str(), nullptr, 0);
    return DWORD(parsed) & kStoredAttributes;
}

bool XattrsUnsupported(int err)
{
    return err == ENOTSUP || err == EOPNOTSUPP || err == EPERM;
}

// Writes (or removes, for 0) the stored bits through `set` / `remove`, which
// wrap the path or descriptor variant of the calls.
template <class Set, class Remove>
DWORD WriteStored(DWORD bits, Set set, Remove remove)
{
    bits &= kStoredAttributes;
    if (bits == 0) {
        if (remove() == 0 || errno == ENODATA || XattrsUnsupported(errno))
            return ERROR_SUCCESS;
        return ErrorFromErrno(errno);
    }
    char text[16];
    int length = std::snprintf(text, sizeof text, "0x%x", unsigned(bits));
    if (set(text, size_t(length)) == 0 || XattrsUnsupported(errno))
        return ERROR_SUCCESS;
    return ErrorFromErrno(errno);
}

} // namespace

DWORD StoredAttributes(const std::string& hostPath)
{
    char text[64];
    ssize_t length = lgetxattr(hostPath.c_str(), kXattrName, text, sizeof text);
    return ParseStored(text, length);
}

DWORD StoredAttributesOfFd(int fd)
{
    char text[64];
    ssize_t length = fgetxattr(fd, kXattrName, text, sizeof text);
    return ParseStored(text, length);
}

DWORD StoreAttributes(const std::string& hostPath, DWORD attributes)
{
    if (StoredAttributes(hostPath) == (attributes & kStoredAttributes))
        return ERROR_SUCCESS;
    return WriteStored(
        attributes,
        [&](const char* text, size_t length) { return lsetxattr(hostPath.c_str(), kXattrName, text, length, 0); },
        [&] { return lremovexattr(hostPath.c_str(), kXattrName); });
}

DWORD StoreAttributesOfFd(int fd, DWORD attributes)
{
    if (StoredAttributesOfFd(fd) == (attributes & kStoredAttributes))
        return ERROR_SUCCESS;
    return WriteStored(
        attributes, [&](const char* text, size_t length) { return fsetxattr(fd, kXattrName, text, length, 0); },
        [&] { return fremovexattr(fd, kXattrName); });
}

DWORD AttributesOf(const std::string& hostPath, const struct stat& linkStat)
{
    if (S_ISLNK(linkStat.st_mode)) {
        struct stat target;
        bool toDirectory = stat(hostPath.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
        return FILE_ATTRIBUTE_REPARSE_POINT | (toDirectory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    }
    DWORD attributes = StoredAttributes(hostPath);
    if (S_ISDIR(linkStat.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (IsReadOnlyMode(linkStat.st_mode))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

DWORD ApplyAttributes(const std::string& hostPath, DWORD attributes)
{
    struct stat st;
    if (lstat(hostPath.c_str(), &st) != 0)
        return ErrorFromErrno(errno);
    if (S_ISLNK(st.st_mode))
        return ERROR_SUCCESS; // a link keeps neither mode bits nor user attributes
    bool wasReadOnly = IsReadOnlyMode(st.st_mode);
    bool makeReadOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    mode_t writable = st.st_mode | S_IWUSR;
    mode_t readOnly = st.st_mode & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH);

    // The stored bits are written while the entry is writable: without root,
    // user attributes of a read-only file can't be changed.
    if (wasReadOnly && chmod(hostPath.c_str(), writable & 07777) != 0)
        return ErrorFromErrno(errno);
    DWORD error = StoreAttributes(hostPath, attributes);
    if (makeReadOnly || (wasReadOnly && error != ERROR_SUCCESS)) {
        if (chmod(hostPath.c_str(), readOnly & 07777) != 0 && error == ERROR_SUCCESS)
            error = ErrorFromErrno(errno);
    }
    return error;
}

DWORD ApplyAttributesOfFd(int fd, DWORD attributes)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return ErrorFromErrno(errno);
    bool wasReadOnly = IsReadOnlyMode(st.st_mode);
    bool makeReadOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    mode_t writable = st.st_mode | S_IWUSR;
    mode_t readOnly = st.st_mode & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH);
    // As ApplyAttributes: the stored bits are written while the entry is writable.
    if (wasReadOnly && fchmod(fd, writable & 07777) != 0)
        return ErrorFromErrno(errno);
    DWORD error = StoreAttributesOfFd(fd, attributes);
    if (makeReadOnly || (wasReadOnly && error != ERROR_SUCCESS)) {
        if (fchmod(fd, readOnly & 07777) != 0 && error == ERROR_SUCCESS)
            error = ErrorFromErrno(errno);
    }
    return error;
}

int InReadOnlyFolder(const std::string& hostFolder, const std::function<int()>& operation)
{
    int result = operation();
    if (result == 0 || errno != EACCES || geteuid() == 0)
        return result;
    struct stat st;
    if (stat(hostFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        !IsReadOnlyMode(st.st_mode)) {
        errno = EACCES;
        return result;
    }
    if (chmod(hostFolder.c_str(), (st.st_mode | S_IWUSR) & 07777) != 0) {
        errno = EACCES;
        return result;
    }
    result = operation();
    int saved = errno;
    chmod(hostFolder.c_str(), st.st_mode & 07777);
    errno = saved;
    return result;
}

} // namespace win32posix
