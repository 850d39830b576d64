// Windows share modes, emulated inside the process: per file (device, inode)
// the list of open (access, share) pairs and of file mappings. Pure: no system
// calls; thread-safe.
#ifndef QEL_WIN32POSIX_SHARE_TABLE_H
#define QEL_WIN32POSIX_SHARE_TABLE_H

#include <windows.h>

#include <compare>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace win32posix {

// Access rights as the share check sees them (the file-object rights that
// GENERIC_READ, GENERIC_WRITE and DELETE stand for).
inline constexpr DWORD kShareAccessRead = 0x1;
inline constexpr DWORD kShareAccessWrite = 0x2;
inline constexpr DWORD kShareAccessDelete = 0x4;

// The desired access of CreateFileA reduced to kShareAccess* bits:
// GENERIC_READ -> read, GENERIC_WRITE -> write, DELETE (0x00010000) -> delete,
// GENERIC_ALL (0x10000000) -> all three; other bits (attribute access) count
// for nothing.
DWORD ShareAccessFromDesired(DWORD desiredAccess);

// The Windows rule for one pair of opens of the same file, with access already
// reduced by ShareAccessFromDesired and share made of FILE_SHARE_* bits: they
// conflict when either one's access is not allowed by the other's share mode.
// An open with access 0 conflicts with nothing.
bool OpensConflict(DWORD existingAccess, DWORD existingShare, DWORD newAccess, DWORD newShare);

// Identity of a file on the host.
struct FileId {
    uint64_t device = 0;
    uint64_t inode = 0;
    auto operator<=>(const FileId&) const = default;
};

// What a deletion of a file would meet.
enum class DeleteCheck {
    Allowed,          // no open, or every open shares deletion
    SharingViolation, // an open lacks FILE_SHARE_DELETE (ERROR_SHARING_VIOLATION)
    Mapped,           // the file is mapped (a mapping never shares deletion)
};

class ShareTable {
public:
    using Ticket = uint64_t;

    // Registers an open of `file` (access: kShareAccess* bits; share:
    // FILE_SHARE_* bits) unless it conflicts with one already registered.
    // Returns the ticket to pass to Remove, or nullopt on a conflict.
    std::optional<Ticket> TryAdd(FileId file, DWORD access, DWORD share);

    // Registers a file mapping: it conflicts with no open (a mapping doesn't
    // stop other opens) but refuses deletion while it lasts.
    Ticket AddMapping(FileId file);

    // Removes an open or a mapping. Unknown tickets are ignored.
    void Remove(FileId file, Ticket ticket);

    // Whether `file` could be deleted now (the deletion itself being an open
    // with delete access that shares everything).
    DeleteCheck CheckDelete(FileId file) const;

    // Whether `file` has at least one mapping.
    bool IsMapped(FileId file) const;

    // Number of opens and mappings registered for `file`.
    size_t EntryCount(FileId file) const;

private:
    struct Entry {
        Ticket ticket;
        DWORD access;
        DWORD share;
        bool mapping;
    };
    mutable std::mutex mutex_;
    std::map<FileId, std::vector<Entry>> files_;
    Ticket nextTicket_ = 1;
};

} // namespace win32posix

#endif
