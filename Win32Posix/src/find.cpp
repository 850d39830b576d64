// Emulates FindFirstFileA / FindNextFileA / FindClose: a pattern whose last
// name holds wildcards lists the matching entries of its folder ("." and ".."
// first, in any folder but a drive root, when they match), entries sorted by
// name without regard to case as NTFS returns them; a plain path finds that
// one entry; a drive root itself is never an entry. Symbolic links are
// reported as reparse points and not followed. It does not emulate short
// (8.3) names, FindFirstFileEx's options, or the DOS wildcards < > ".
// Names are reported in the process's code page, a character it cannot
// represent as '?' (as Windows gives it to an ANSI program), and the pattern
// is matched against that form, character by character.
#include "attributes.h"
#include "codepage.h"
#include "errors.h"
#include "fault_plan.h"
#include "filetime.h"
#include "handles.h"
#include "path.h"
#include "resolve.h"
#include "unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace win32posix {
namespace {

constexpr DWORD kReparseTagSymlink = 0xA000000Cu; // IO_REPARSE_TAG_SYMLINK, in dwReserved0 of a link's entry

// One entry to report: its host name and the name the program is given.
struct FoundName {
    std::string host;
    std::string reported;
};

// One search: the names still to report, each looked up when its turn comes,
// so an entry deleted meanwhile is skipped rather than reported stale.
class FindObject : public HandleObject {
public:
    FindObject(UniqueFd folder, std::vector<FoundName> names)
        : HandleObject(HandleKind::Find), folder_(std::move(folder)), names_(std::move(names))
    {
    }

    // Fills `data` with the next entry that still exists; false at the end.
    bool Next(WIN32_FIND_DATAA& data);

private:
    std::mutex mutex_;
    UniqueFd folder_; // the folder listed, whatever it is called meanwhile
    std::vector<FoundName> names_;
    size_t next_ = 0;
};

FILETIME ToFiletime(const timespec& ts)
{
    std::optional<FILETIME> ft = FiletimeFromTimespec(ts);
    return ft ? *ft : FILETIME{0, 0};
}

// The entry `found` of the listed folder ("." and ".." are the folder and its
// parent), reported under its code-page name. False when it can't be
// examined or named.
bool Describe(const UniqueFd& folder, const FoundName& found, WIN32_FIND_DATAA& data)
{
    const std::string& name = found.host;
    if (found.reported.size() >= sizeof data.cFileName)
        return false;
    struct stat st;
    if (fstatat(folder.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    std::memset(&data, 0, sizeof data);
    data.dwFileAttributes = AttributesOf("/proc/self/fd/" + std::to_string(folder.Get()) + "/" + name, st);
    // The birth time where the file system records one (as GetFileTime), else the last write.
    struct statx sx;
    bool hasBirth =
        statx(folder.Get(), name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME);
    data.ftCreationTime = hasBirth ? ToFiletime(timespec{time_t(sx.stx_btime.tv_sec), long(sx.stx_btime.tv_nsec)})
                                   : ToFiletime(st.st_mtim);
    data.ftLastAccessTime = ToFiletime(st.st_atim);
    data.ftLastWriteTime = ToFiletime(st.st_mtim);
    if (S_ISREG(st.st_mode)) {
        data.nFileSizeHigh = DWORD(uint64_t(st.st_size) >> 32);
        data.nFileSizeLow = DWORD(uint64_t(st.st_size) & 0xFFFFFFFFu);
    }
    if (S_ISLNK(st.st_mode))
        data.dwReserved0 = kReparseTagSymlink;
    std::memcpy(data.cFileName, found.reported.c_str(), found.reported.size() + 1);
    return true;
}

bool FindObject::Next(WIN32_FIND_DATAA& data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    while (next_ < names_.size()) {
        const FoundName& name = names_[next_++];
        if (Describe(folder_, name, data))
            return true;
    }
    return false;
}

bool LessIgnoringCase(const FoundName& first, const FoundName& second)
{
    const std::string& a = first.host;
    const std::string& b = second.host;
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; };
        return static_cast<unsigned char>(upper(x)) < static_cast<unsigned char>(upper(y));
    });
}

// The names of `folder` that match `mask`, "." and ".." first (outside a root).
DWORD ListMatching(const UniqueFd& folder, bool isRoot, const std::string& mask, std::vector<FoundName>& names)
{
    UniqueFd listing(openat(folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* dir = listing.IsValid() ? fdopendir(listing.Get()) : nullptr;
    if (!dir)
        return errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
    listing.Release(); // the listing owns it now
    std::vector<FoundName> found;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::string reported = FromHost(name);
        if (MatchesWildcard(reported, mask))
            found.push_back(FoundName{std::move(name), std::move(reported)});
    }
    closedir(dir);
    std::sort(found.begin(), found.end(), LessIgnoringCase);
    if (!isRoot) {
        for (const char* dots : {".", ".."})
            if (MatchesWildcard(dots, mask))
                names.push_back(FoundName{dots, dots});
    }
    names.insert(names.end(), found.begin(), found.end());
    return ERROR_SUCCESS;
}

DWORD StartSearch(const char* pattern, std::shared_ptr<FindObject>& search)
{
    if (!pattern || !*pattern)
        return ERROR_PATH_NOT_FOUND;
    if (!ProcessCodePage())
        return ERROR_BAD_ENVIRONMENT;
    WindowsPath parsed;
    if (DWORD error = ParseWindowsPath(pattern, parsed, true); error != ERROR_SUCCESS)
        return error;
    // A drive root (or "dir\") names no entry: there is no name to match.
    if (parsed.components.empty() || parsed.trailingSeparator) {
        ResolvedPath folder;
        if (DWORD error = ResolveExisting(pattern, folder); error != ERROR_SUCCESS)
            return error;
        return ERROR_FILE_NOT_FOUND;
    }
    std::string mask = parsed.components.back();
    parsed.components.pop_back();
    // The folder is written as followed by a separator, as in the pattern, so
    // that its name reads back the same ("a..\\*" searches the folder "a.").
    parsed.trailingSeparator = true;
    ResolvedPath folder;
    if (DWORD error = ResolveExisting(FormatWindowsPath(parsed), folder); error != ERROR_SUCCESS)
        return error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error;
    if (PlannedFault(folder.host))
        return ErrorFromErrno(errno);
    // The folder is listed, and its entries described, through one
    // descriptor: a held folder through its own.
    ThroughHeldFolder(folder);
    UniqueFd listed(::open(folder.access.c_str(), O_PATH | O_CLOEXEC));
    struct stat folderStat;
    if (!listed.IsValid() || fstat(listed.Get(), &folderStat) != 0)
        return ErrorFromErrno(errno);
    if (!S_ISDIR(folderStat.st_mode))
        return ERROR_INVALID_NAME; // "file.txt\*", as Wine reports it

    std::vector<FoundName> names;
    if (HasWildcard(mask)) {
        if (DWORD error = ListMatching(listed, folder.isRoot, mask, names); error != ERROR_SUCCESS)
            return error;
    } else {
        std::string onDisk;
        if (!LookupName("/proc/self/fd/" + std::to_string(listed.Get()), mask, onDisk))
            return (errno == ENOENT || errno == ENOTDIR) ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
        names.push_back(FoundName{onDisk, FromHost(onDisk)});
    }
    search = std::make_shared<FindObject>(std::move(listed), std::move(names));
    return ERROR_SUCCESS;
}

} // namespace
} // namespace win32posix

using namespace win32posix;

extern "C" HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData)
{
    std::shared_ptr<FindObject> search;
    if (DWORD error = StartSearch(lpFileName, search); error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (!lpFindFileData || !search->Next(*lpFindFileData)) {
        SetLastError(lpFindFileData ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return RegisterHandle(search);
}

extern "C" BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData)
{
    std::shared_ptr<FindObject> search = LookupHandleAs<FindObject>(hFindFile, HandleKind::Find);
    if (!search)
        return FALSE;
    if (!lpFindFileData)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!search->Next(*lpFindFileData))
        return Fail(ERROR_NO_MORE_FILES);
    return TRUE;
}

extern "C" BOOL WINAPI FindClose(HANDLE hFindFile)
{
    return UnregisterHandle(hFindFile, HandleKind::Find) ? TRUE : FALSE;
}
