// Emulates how Windows finds a file by name: drive letters through the drive
// map, names compared without regard to ASCII case (the exact name is tried
// first, then the folder's names without regard to case, through the index of
// name_index.h, as case-insensitive file systems are emulated elsewhere), and
// ERROR_PATH_NOT_FOUND / ERROR_FILE_NOT_FOUND told apart as Windows does.
// Names come in the process's ANSI code page and are looked up under their
// UTF-8 form; the case-insensitive lookup compares in the code page. It does
// not fold non-ASCII case, and when several names differ only in case it
// takes the exact one, else the first listed.
#include "resolve.h"

#include "codepage.h"
#include "environment.h"
#include "errors.h"
#include "handles.h"
#include "held_folders.h"
#include "name_index.h"
#include "path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace win32posix {
namespace {

std::string CurrentFolder()
{
    std::string buffer(4096, '\0');
    while (!getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE)
            return "/";
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(buffer.find('\0'));
    return buffer;
}

bool IsDirectoryFollowingLinks(const std::string& hostPath)
{
    struct stat st;
    return stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Where the walk starts (a host folder) and which names (in the code page)
// follow.
DWORD StartingPoint(const WindowsPath& parsed, std::string& root, std::vector<std::string>& names)
{
    switch (parsed.kind) {
    case PathKind::DriveAbsolute:
    case PathKind::DriveRelative: {
        std::optional<DriveMapping> drive = FindDrive(parsed.drive);
        if (!drive)
            return ERROR_PATH_NOT_FOUND;
        root = drive->hostRoot;
        names = parsed.components;
        return ERROR_SUCCESS;
    }
    case PathKind::HostAbsolute:
        root = "/";
        names = parsed.components;
        return ERROR_SUCCESS;
    case PathKind::Relative: {
        // Leading ".." climb from the current folder, never above "/".
        root = CurrentFolder();
        size_t climbs = 0;
        while (climbs < parsed.components.size() && parsed.components[climbs] == "..") {
            root = HostParent(root);
            ++climbs;
        }
        names.assign(parsed.components.begin() + long(climbs), parsed.components.end());
        return ERROR_SUCCESS;
    }
    }
    return ERROR_PATH_NOT_FOUND;
}

// The folder that holds the last name, when every name before it is on disk
// under its exact host name: the walk would find exactly that path (it takes
// an exact name first, and the path is a folder only when each name on the
// way is one), so one stat of it stands for the walk. Nullopt when there is
// no such folder, or no folder on the way: the walk then tells what is wrong.
std::optional<std::string> ExactFolderPath(const std::string& root, const std::vector<std::string>& names)
{
    if (names.size() < 2)
        return std::nullopt;
    std::string folder = root;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        std::optional<std::string> hostName = ToHost(names[i]);
        if (!hostName)
            return std::nullopt;
        folder = JoinHost(folder, *hostName);
    }
    if (!IsDirectoryFollowingLinks(folder))
        return std::nullopt;
    return folder;
}

// Where the walk goes through a held folder: the deepest folder on the way
// that the process holds, named by the exact host names of `names` (a held
// folder is registered under its path as found on disk, and looked up
// without regard to ASCII case). `walked` names below it remain.
struct Anchor {
    std::shared_ptr<const OpenFile> folder;
    size_t walked = 0;
};

Anchor DeepestHeldFolder(const std::string& root, const std::vector<std::string>& names)
{
    Anchor anchor;
    anchor.folder = HeldFolderAt(root);
    std::string prefix = root;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        std::optional<std::string> hostName = ToHost(names[i]);
        if (!hostName)
            break;
        prefix = JoinHost(prefix, *hostName);
        if (std::shared_ptr<const OpenFile> folder = HeldFolderAt(prefix)) {
            anchor.folder = std::move(folder);
            anchor.walked = i + 1;
        }
    }
    return anchor;
}

} // namespace

bool LookupName(const std::string& hostFolder, const std::string& name, std::string& found)
{
    std::optional<std::string> hostName = ToHost(name);
    if (!hostName) {
        errno = ENOENT;
        return false;
    }
    struct stat st;
    if (lstat(JoinHost(hostFolder, *hostName).c_str(), &st) == 0) {
        found = *hostName;
        return true;
    }
    if (errno != ENOENT)
        return false;
    return FindIgnoringCase(hostFolder, name, found);
}

DWORD ResolvePath(std::string_view windowsPath, ResolvedPath& out)
{
    out = ResolvedPath{};
    if (!ProcessCodePage())
        return ERROR_BAD_ENVIRONMENT;
    WindowsPath parsed;
    if (DWORD error = ParseWindowsPath(windowsPath, parsed); error != ERROR_SUCCESS)
        return error;
    std::string current;
    std::vector<std::string> names;
    if (DWORD error = StartingPoint(parsed, current, names); error != ERROR_SUCCESS)
        return error;
    out.trailingSeparator = parsed.trailingSeparator;
    size_t walked = 0;
    // `current` is the host path as found on disk, `access` the same place as
    // the system calls reach it (through a held folder where there is one).
    std::string access = current;
    const bool anyHeld = AnyFolderHeld();
    if (anyHeld) {
        Anchor anchor = DeepestHeldFolder(current, names);
        if (anchor.folder) {
            current = anchor.folder->hostPath();
            access = PathThrough(*anchor.folder);
            out.anchor = std::move(anchor.folder);
            walked = anchor.walked;
        }
    }
    if (out.anchor) {
        // The walk goes on from the held folder.
    } else if (std::optional<std::string> folder = ExactFolderPath(current, names)) {
        current = std::move(*folder);
        access = current;
        walked = names.size() - 1;
    }
    if (walked == 0 && !out.anchor && !IsDirectoryFollowingLinks(access)) {
        return ERROR_PATH_NOT_FOUND; // the drive's folder is gone
    }

    if (names.empty()) {
        out.host = current;
        out.access = access;
        out.exists = true;
        out.isRoot = parsed.kind != PathKind::Relative || current == "/";
        return ERROR_SUCCESS;
    }
    for (size_t i = walked; i < names.size(); ++i) {
        bool last = i + 1 == names.size();
        std::string found;
        if (!LookupName(access, names[i], found)) {
            if (errno != ENOENT && errno != ENOTDIR)
                return ErrorFromErrno(errno);
            if (!last)
                return ERROR_PATH_NOT_FOUND;
            std::optional<std::string> hostName = ToHost(names[i]);
            out.host = hostName ? JoinHost(current, *hostName) : std::string();
            out.access = hostName ? JoinHost(access, *hostName) : std::string();
            out.unrepresentable = !hostName;
            out.lastName = names[i];
            out.exists = false;
            return ERROR_SUCCESS;
        }
        current = JoinHost(current, found);
        access = JoinHost(access, found);
        if (!last) {
            if (std::shared_ptr<const OpenFile> folder = anyHeld ? HeldFolderAt(current) : nullptr) {
                access = PathThrough(*folder);
                out.anchor = std::move(folder);
            } else if (!IsDirectoryFollowingLinks(access)) {
                return ERROR_PATH_NOT_FOUND;
            }
        }
        if (last)
            out.lastName = FromHost(found);
    }
    out.host = current;
    out.access = access;
    out.exists = true;
    if (out.trailingSeparator && !IsDirectoryFollowingLinks(access))
        return ERROR_INVALID_NAME; // "file.txt\"
    return ERROR_SUCCESS;
}

DWORD ResolveExisting(std::string_view windowsPath, ResolvedPath& out)
{
    DWORD error = ResolvePath(windowsPath, out);
    if (error != ERROR_SUCCESS)
        return error;
    return out.exists ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

void ThroughHeldFolder(ResolvedPath& path)
{
    if (!AnyFolderHeld())
        return;
    if (std::shared_ptr<const OpenFile> folder = HeldFolderAt(path.host)) {
        path.access = PathThrough(*folder);
        path.anchor = std::move(folder);
    }
}

std::string JoinHost(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string HostParent(const std::string& hostPath)
{
    size_t slash = hostPath.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return hostPath.substr(0, slash);
}

std::string WindowsPathFromHost(const std::string& hostPath)
{
    std::shared_ptr<const DriveTable> drives = CurrentDrives();
    const DriveMapping* best = nullptr;
    for (const DriveMapping& drive : *drives) {
        const std::string& root = drive.hostRoot;
        bool under = root == "/" || hostPath == root ||
                     (hostPath.compare(0, root.size(), root) == 0 && hostPath.size() > root.size() &&
                      hostPath[root.size()] == '/');
        if (under && (!best || root.size() > best->hostRoot.size()))
            best = &drive;
    }
    std::string rest = best ? (best->hostRoot == "/" ? hostPath : hostPath.substr(best->hostRoot.size())) : hostPath;
    std::string windows = best ? std::string(1, best->letter) + ":" : "";
    for (char c : rest)
        windows += c == '/' ? '\\' : c;
    if (best && rest.empty())
        windows += '\\';
    return FromHost(windows);
}

} // namespace win32posix
