#include "filetask/HeldFolders.h"

#include "base/SystemNames.h"

#include <utility>

namespace qek {

namespace {

// Others may read and write a held folder's entries, never rename or remove
// the folder itself.
constexpr DWORD kHeldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
// Opens the entry itself: a folder (which needs the backup flag) or a link,
// never what a link leads to.
constexpr DWORD kItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

bool HasBit(DWORD attributes, DWORD bit)
{
    return (attributes & bit) != 0;
}

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

Status ReadInformation(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info)
{
    return Status::FromCall(GetFileInformationByHandle(handle, &info), ERROR_ACCESS_DENIED);
}

// The access a held folder is opened with. Windows weighs share modes only
// against opens that ask for data access (reading, which traversing counts
// as, writing or deletion): a handle for the attributes alone would let
// anyone rename the folder. FILE_TRAVERSE makes the handle count.
constexpr DWORD kHeldAccess = FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

UniqueHandle OpenFolderItself(const std::string& path)
{
    return UniqueHandle(
        CreateFileA(path.c_str(), kHeldAccess | READ_CONTROL, kHeldShare, nullptr, OPEN_EXISTING, kItself, nullptr));
}

// A folder opened through a link that may be followed: what it leads to.
UniqueHandle OpenFolderFollowed(const std::string& path)
{
    return UniqueHandle(CreateFileA(path.c_str(), kHeldAccess, kHeldShare, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// "D:\a\b" and "x" give "D:\a\b\x"; "D:\" and "x" give "D:\x".
std::string Below(const std::string& folder, std::string_view name)
{
    std::string path = folder;
    if (!SystemNames().EndsWithCharacter(path, '\\')) {
        path += '\\';
    }
    path += name;
    return path;
}

// The drive's root and every folder down to `root` (a DrivePath ending in a
// backslash, or a path from the current drive's root: "\x\y\"); empty when
// `root` has another form.
std::vector<std::string> PathsDownTo(const std::string& root)
{
    const NameRules& names = SystemNames();
    std::string drive = root.substr(0, 3);
    std::string rest = root;
    if (root.size() >= 2 && root[0] == '\\' && root[1] != '\\') {
        drive = "C:\\"; // only its form is checked: the folders keep the root's own spelling
        rest = drive + root.substr(1);
    }
    const std::optional<DrivePath> parsed = names.ParseDrivePath(rest);
    if (!parsed) {
        return {};
    }
    std::vector<std::string> paths{rest == root ? drive : std::string("\\")};
    for (std::string_view component : parsed->components) {
        paths.push_back(Below(paths.back(), component));
    }
    return paths;
}

} // namespace

FolderChain::FolderChain(std::string root) : root_(std::move(root)), rootPaths_(PathsDownTo(root_)) { }

Status FolderChain::HoldRoot(MissingFolder missing, std::optional<UntrustedLink>& untrusted)
{
    untrusted.reset();
    if (rootPaths_.empty()) {
        return Status::Failure(ERROR_BAD_PATHNAME);
    }
    ReleaseBelowRoot();
    while (held_.size() < rootPaths_.size()) {
        bool stopped = false;
        const Status held = HoldNext(rootPaths_[held_.size()], false, missing, untrusted, stopped);
        if (held.Failed() || stopped || untrusted) {
            return held;
        }
    }
    rootHeld_ = true;
    return Status::Ok();
}

Status FolderChain::HoldBelowRoot(std::string_view folder, MissingFolder missing)
{
    if (!rootHeld_) {
        std::optional<UntrustedLink> untrusted;
        const Status root = HoldRoot(missing, untrusted);
        if (root.Failed()) {
            return root;
        }
        if (untrusted) {
            return Status::Failure(untrusted->error != 0 ? untrusted->error : ERROR_ACCESS_DENIED);
        }
        if (!rootHeld_) {
            return Status::Failure(ERROR_PATH_NOT_FOUND);
        }
    }
    const NameRules& names = SystemNames();
    folder = names.TrimTrailingCharacter(folder, '\\');
    std::vector<std::string_view> components;
    if (!folder.empty()) {
        components = names.SplitAtBackslashes(folder.substr(folder.front() == '\\' ? 1 : 0));
    }
    // Keep what is held on the way, let go of the rest, deepest first.
    size_t kept = rootPaths_.size();
    std::string path = rootPaths_.back();
    for (std::string_view component : components) {
        const std::string next = Below(path, component);
        if (kept >= held_.size() || held_[kept].path != next) {
            break;
        }
        path = next;
        ++kept;
    }
    while (held_.size() > kept) {
        held_.pop_back();
    }
    for (size_t i = kept - rootPaths_.size(); i < components.size(); ++i) {
        path = Below(path, components[i]);
        std::optional<UntrustedLink> unused;
        bool stopped = false;
        const Status held = HoldNext(path, true, missing, unused, stopped);
        if (held.Failed()) {
            return held;
        }
        if (stopped) {
            return Status::Failure(ERROR_PATH_NOT_FOUND);
        }
    }
    return Status::Ok();
}

void FolderChain::ReleaseBelowRoot()
{
    const size_t keep = rootHeld_ ? rootPaths_.size() : std::min(held_.size(), rootPaths_.size());
    while (held_.size() > keep) {
        held_.pop_back();
    }
}

void FolderChain::ReleaseLast()
{
    if (!held_.empty()) {
        held_.pop_back();
        rootHeld_ = held_.size() >= rootPaths_.size();
    }
}

void FolderChain::ReleaseAll()
{
    while (!held_.empty()) {
        held_.pop_back();
    }
    rootHeld_ = false;
}

// Opens the folder at `path` (its parent is held), checks it on its handle
// and holds it. At or above the root, what cannot be looked at is reported
// in `untrusted` with its error, as an untrusted link is; something other
// than a folder there ends a walk that stops at missing folders.
Status FolderChain::HoldNext(const std::string& path, bool belowRoot, MissingFolder missing,
                             std::optional<UntrustedLink>& untrusted, bool& missingStop)
{
    // A folder made here, or a link removed, may be replaced meanwhile: a few
    // rounds, then the task gives up.
    for (int round = 0; round < 3; ++round) {
        UniqueHandle folder = OpenFolderItself(path);
        if (!folder.IsValid()) {
            const Status unopened = Status::LastError(ERROR_ACCESS_DENIED);
            if (!IsMissing(static_cast<DWORD>(unopened.Code()))) {
                if (!belowRoot) {
                    untrusted = UntrustedLink{path, unopened.Code()};
                    return Status::Ok();
                }
                return unopened;
            }
            if (missing == MissingFolder::Stop) {
                missingStop = true;
                return Status::Ok();
            }
            if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                return Status::LastError(ERROR_ACCESS_DENIED);
            }
            continue;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (const Status read = ReadHeldInformation(folder.Get(), path.c_str(), info); read.Failed()) {
            return read;
        }
        if (!HasBit(info.dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT)) {
            if (!HasBit(info.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY)) {
                // As a path through a file: no folder there.
                missingStop = missing == MissingFolder::Stop;
                return missingStop ? Status::Ok() : Status::Failure(ERROR_PATH_NOT_FOUND);
            }
            held_.push_back(Held{path, std::move(folder), UniqueHandle()});
            return Status::Ok();
        }
        if (belowRoot) {
            // A link in place of a folder below the root would carry the
            // task's files elsewhere: it goes, and a real folder takes its
            // place.
            folder.Reset();
            if (const Status removed = RemoveEntry(path.c_str()); removed.Failed()) {
                return removed;
            }
            if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                return Status::LastError(ERROR_ACCESS_DENIED);
            }
            continue;
        }
        untrusted = CheckLinkOwner(folder.Get(), path);
        if (untrusted) {
            return Status::Ok();
        }
        // A trusted link, held itself so that nobody swaps it, and the folder
        // it leads to, held as any other.
        UniqueHandle target = OpenFolderFollowed(path);
        BY_HANDLE_FILE_INFORMATION targetInfo{};
        if (!target.IsValid() || ReadInformation(target.Get(), targetInfo).Failed() ||
            !HasBit(targetInfo.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY)) {
            // Nothing, or no folder, behind the link.
            missingStop = missing == MissingFolder::Stop;
            return missingStop ? Status::Ok() : Status::Failure(ERROR_PATH_NOT_FOUND);
        }
        held_.push_back(Held{path, std::move(folder), std::move(target)});
        return Status::Ok();
    }
    return Status::Failure(ERROR_ACCESS_DENIED);
}

std::string_view FolderOfName(std::string_view name)
{
    const NameRules& names = SystemNames();
    const std::string_view withoutLast = names.TrimTrailingCharacter(name, '\\');
    const size_t last = names.FindLastCharacter(withoutLast, '\\');
    return last == std::string_view::npos ? std::string_view("\\") : name.substr(0, last + 1);
}

Status RemoveHeld(UniqueHandle handle)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    const BOOL marked =
        SetFileInformationByHandle(handle.Get(), FileDispositionInfo, &disposition, sizeof(disposition));
    const Status status = Status::FromCall(marked, ERROR_ACCESS_DENIED);
    handle.Reset(); // the entry goes with its last handle
    return status;
}

UniqueHandle OpenFolderToHold(const char* path)
{
    return UniqueHandle(
        CreateFileA(path, kHeldAccess | FILE_WRITE_ATTRIBUTES, kHeldShare, nullptr, OPEN_EXISTING, kItself, nullptr));
}

UniqueHandle OpenToRemove(const char* path)
{
    return UniqueHandle(CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kHeldShare, nullptr,
                                    OPEN_EXISTING, kItself, nullptr));
}

Status RemoveEntry(const char* path)
{
    UniqueHandle entry = OpenToRemove(path);
    if (!entry.IsValid()) {
        return Status::LastError(ERROR_ACCESS_DENIED);
    }
    return RemoveHeld(std::move(entry));
}

namespace {

UniqueHandle CreateNew(const char* path, DWORD access, DWORD flags)
{
    return UniqueHandle(CreateFileA(path, access, FILE_SHARE_WRITE, nullptr, CREATE_NEW, flags, nullptr));
}

// The existing entry at `path`, opened as itself to be written or removed.
UniqueHandle OpenExisting(const char* path, DWORD access, DWORD flags)
{
    return UniqueHandle(CreateFileA(path, access | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags | kItself, nullptr));
}

// A link, or a file that shares its data with another name: written
// through, the bytes would land elsewhere.
bool LeadsElsewhere(const BY_HANDLE_FILE_INFORMATION& info)
{
    return HasBit(info.dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT) ||
           (!HasBit(info.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY) && info.nNumberOfLinks > 1);
}

// A real folder at a file's name stays, and the file cannot be written, as
// when it is opened by name.
bool IsFolder(const BY_HANDLE_FILE_INFORMATION& info)
{
    return HasBit(info.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY) &&
           !HasBit(info.dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT);
}

constexpr DWORD kKeptOff = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Normal attributes through the handle, so that the file can be written.
Status ClearProtection(HANDLE file, DWORD attributes)
{
    FILE_BASIC_INFO basic{};
    const DWORD kept = attributes & ~kKeptOff;
    basic.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
    return Status::FromCall(SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic)),
                            ERROR_ACCESS_DENIED);
}

Status EmptyFile(HANDLE file)
{
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
        return Status::LastError(ERROR_ACCESS_DENIED);
    }
    return Status::Ok();
}

} // namespace

// Removes the entry at `path` as itself and makes the name anew.
Status ReplaceByNew(const char* path, DWORD access, DWORD flags, UniqueHandle& file)
{
    if (const Status removed = RemoveEntry(path); removed.Failed()) {
        return removed;
    }
    file = CreateNew(path, access, flags);
    return file.IsValid() ? Status::Ok() : Status::LastError(ERROR_ACCESS_DENIED);
}

Status OpenToWrite(const char* path, DWORD access, DWORD flags, ProtectedFile protectedFile, UniqueHandle& file)
{
    file = CreateNew(path, access, flags);
    if (file.IsValid()) {
        return Status::Ok();
    }
    // Something is there: look at it through a handle that follows nothing.
    UniqueHandle existing = OpenExisting(path, access, flags);
    if (!existing.IsValid()) {
        // What cannot be opened for writing (a read-only file, a link where
        // writing a link is refused) is looked at through a handle for its
        // attributes alone.
        const Status unopened = Status::LastError(ERROR_ACCESS_DENIED);
        UniqueHandle look(CreateFileA(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kHeldShare, nullptr,
                                      OPEN_EXISTING, kItself, nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        if (!look.IsValid() || ReadHeldInformation(look.Get(), path, info).Failed()) {
            return unopened;
        }
        if (IsFolder(info)) {
            return Status::Failure(ERROR_ACCESS_DENIED);
        }
        if (LeadsElsewhere(info)) {
            look.Reset();
            return ReplaceByNew(path, access, flags, file);
        }
        if (!HasBit(info.dwFileAttributes, kKeptOff) || protectedFile == ProtectedFile::Refused ||
            ClearProtection(look.Get(), info.dwFileAttributes).Failed()) {
            return unopened;
        }
        look.Reset();
        existing = OpenExisting(path, access, flags);
        if (!existing.IsValid()) {
            return Status::LastError(ERROR_ACCESS_DENIED);
        }
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (const Status read = ReadHeldInformation(existing.Get(), path, info); read.Failed()) {
        return read;
    }
    if (IsFolder(info)) {
        return Status::Failure(ERROR_ACCESS_DENIED);
    }
    if (LeadsElsewhere(info)) {
        // A link would take the bytes elsewhere, a second name into another
        // file: it goes as itself, and the name is made anew.
        if (const Status removed = RemoveHeld(std::move(existing)); removed.Failed()) {
            return removed;
        }
        file = CreateNew(path, access, flags);
        return file.IsValid() ? Status::Ok() : Status::LastError(ERROR_ACCESS_DENIED);
    }
    if (HasBit(info.dwFileAttributes, kKeptOff)) {
        if (protectedFile == ProtectedFile::Refused) {
            return Status::Failure(ERROR_ACCESS_DENIED);
        }
        if (const Status cleared = ClearProtection(existing.Get(), info.dwFileAttributes); cleared.Failed()) {
            return cleared;
        }
    }
    if (const Status emptied = EmptyFile(existing.Get()); emptied.Failed()) {
        return emptied;
    }
    file = std::move(existing);
    return Status::Ok();
}

Status ReadHeldInformation(HANDLE handle, const char* path, BY_HANDLE_FILE_INFORMATION& info)
{
    if (const Status read = ReadInformation(handle, info); read.Failed()) {
        return read;
    }
    const DWORD named = GetFileAttributesA(path);
    if (named != INVALID_FILE_ATTRIBUTES && HasBit(named, FILE_ATTRIBUTE_REPARSE_POINT)) {
        info.dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    return Status::Ok();
}

bool IsFileOfItsOwn(const BY_HANDLE_FILE_INFORMATION& info)
{
    return !IsFolder(info) && !LeadsElsewhere(info);
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

} // namespace qek
