// The folders a task writes in or deletes from, held open while it works
// there. The client writes with system rights into folders that players can
// write to: a path checked and then used by name could meanwhile lead
// elsewhere (a folder renamed aside and a link to System32 put in its place).
// So each folder on the way is opened once, from the drive's root down,
// without following a link (FILE_FLAG_OPEN_REPARSE_POINT) and without
// sharing deletion; it is checked on that handle and held until the task is
// done below it. A folder so held cannot be renamed or removed by anyone,
// and every path below the held chain names what was checked. (In the Win32
// layer on Linux, where another process's rename cannot be refused, a path
// below a held folder is resolved through the folder's descriptor instead.)
//
// The entries themselves are handled the same way: an existing one is
// opened without following it and checked on its handle before it is
// written through that handle or removed as itself.
#pragma once

#include "base/Owners.h"
#include "base/Status.h"
#include "filetask/LinkOwners.h"

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qek {

// What to do with a folder of the way that is not there.
enum class MissingFolder {
    Stop,   // stop the walk there: what the task creates there later is no link
    Create, // create it, then hold it
};

// One task's chain of held folders: from the drive's root down to the task's
// root (the game folder, a sync root), then below it to the folder the task
// works in now. At and above the root a link is followed only when an
// administrator or the system owns it (LinkOwners.h), and both the link and
// the folder it leads to are held; below the root a link in place of a
// folder is removed as itself and a real folder made in its place. At most
// one chain below the root is held at a time, so a game of hundreds of
// folders holds only as many handles as it is deep.
class FolderChain {
public:
    // `root`: a drive path ending in a backslash ("D:\Games\X\", "D:\").
    explicit FolderChain(std::string root);
    ~FolderChain() { ReleaseAll(); }
    FolderChain(const FolderChain&) = delete;
    FolderChain& operator=(const FolderChain&) = delete;
    FolderChain(FolderChain&&) = default;
    FolderChain& operator=(FolderChain&&) = delete;

    const std::string& Root() const { return root_; }

    // Holds the folders from the drive's root to the root. A link that
    // neither an administrator nor the system made, one whose owner cannot be
    // read, or a folder that cannot be opened ends the walk and is described
    // in `untrusted` (error 0: the owner is someone else; else the system
    // error code). With MissingFolder::Stop the walk ends at the first folder
    // that is not there, or is no folder (RootHeld() then says so); a later
    // call goes on from what is held. With MissingFolder::Create missing
    // folders are made, and the walk fails with the system error code when
    // one cannot be made or something else than a folder is in the way.
    Status HoldRoot(MissingFolder missing, std::optional<UntrustedLink>& untrusted);
    bool RootHeld() const { return rootHeld_; }

    // Holds the root and the folders below it down to `folder` (a name below
    // the root, as a check list gives it: "\a\b\" or "\a\b"; "" or "\" for
    // the root itself), creating the ones that are missing (with
    // MissingFolder::Stop a missing one fails the hold with
    // ERROR_PATH_NOT_FOUND); lets go of the held folders that are not on the
    // way. A link in place of a folder below the root is removed as itself
    // and replaced by a new folder, whichever `missing` says. Fails with
    // the system error code of the open, the check, the removal or the
    // creation that failed, or with the root's failure.
    Status HoldBelowRoot(std::string_view folder, MissingFolder missing = MissingFolder::Create);

    // Lets go of the folders below the root (deepest first).
    void ReleaseBelowRoot();
    // Lets go of the deepest folder held (the root itself, when nothing below
    // it is held): a task that removes that folder takes it again as itself.
    void ReleaseLast();
    // Lets go of everything (deepest first).
    void ReleaseAll();

private:
    struct Held {
        std::string path; // without a trailing backslash, but for a drive's root
        UniqueHandle handle;
        UniqueHandle target; // the folder a trusted link leads to, when `handle` is that link
    };

    Status HoldNext(const std::string& path, bool belowRoot, MissingFolder missing,
                    std::optional<UntrustedLink>& untrusted, bool& missingStop);

    std::string root_;
    std::vector<std::string> rootPaths_; // the drive's root, then each folder down to the root
    std::vector<Held> held_;             // rootPaths_ as far as held, then the folders below the root
    bool rootHeld_ = false;
};

// The folder part of an entry's name below a root: "\a\b\c.txt" gives
// "\a\b\", "\c.txt" gives "\", "\a\b\" (a folder) gives "\a\".
std::string_view FolderOfName(std::string_view name);

// Opens the folder at `path` as a FolderChain holds one (as itself, nobody
// else may rename or remove it while the handle is open), with the right to
// change its attributes as well. No handle when it cannot be opened.
UniqueHandle OpenFolderToHold(const char* path);

// Removes the entry that `handle` holds (opened with DELETE access and
// without following a link), as itself: a link as a link, a file, an empty
// folder. The system error code when it cannot be removed (a read-only file,
// a folder that is not empty). The handle is closed.
Status RemoveHeld(UniqueHandle handle);

// Opens the entry at `path` to remove it: DELETE access and the attributes,
// without following a link, sharing reading and writing but not deletion.
// No handle when it cannot be opened (GetLastError tells why).
UniqueHandle OpenToRemove(const char* path);

// Removes the entry at `path` as itself (a link is never followed): opened
// with OpenToRemove and removed with RemoveHeld. Fails with the system error
// code of the open or the removal.
Status RemoveEntry(const char* path);

// What OpenToWrite does with an existing file that is read-only, hidden or
// system.
enum class ProtectedFile {
    MadeNormal, // its attributes are made normal, through its handle, and it is written
    Refused,    // the open fails with ERROR_ACCESS_DENIED, the file untouched
};

// Opens the file at `path` to be written in full, never through a link and
// never into a file that shares its data with another name: a new name is
// made with CREATE_NEW; an existing entry is opened without following it and
// checked on that handle. A link there or a file with more than one name is
// removed as itself first, and the name made anew (CREATE_NEW, which fails
// when something else was put there meanwhile); a folder there fails the open
// with ERROR_ACCESS_DENIED and stays; a file of its own is emptied through
// the handle that was checked. A read-only, hidden or
// system file is handled as `protectedFile` says. `access` and `flags` are
// those of the file's writing (GENERIC_WRITE or more, the FILE_FLAG_* of its
// mode). Fails with the system error code of the step that failed; the entry
// keeps its content when the open fails.
Status OpenToWrite(const char* path, DWORD access, DWORD flags, ProtectedFile protectedFile, UniqueHandle& file);

// What `handle` (opened as itself at `path`) holds, with the reparse-point
// attribute that the name shows as well: Wine opens a link to a folder
// through to the folder even with FILE_FLAG_OPEN_REPARSE_POINT, while its
// listing and GetFileAttributesA still report the link. Asked by name after
// the handle holds the entry, so the answer is about what is held. Fails
// with the system error code of GetFileInformationByHandle.
Status ReadHeldInformation(HANDLE handle, const char* path, BY_HANDLE_FILE_INFORMATION& info);

// A file of its own: no folder, no link, no second name.
bool IsFileOfItsOwn(const BY_HANDLE_FILE_INFORMATION& info);

// Whether two handles are the same file (the volume and the file index).
bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b);

} // namespace qek
