// Emulates Windows share modes for the opens made inside this process: a new
// open that the existing opens' share modes refuse (or whose share mode
// refuses an existing open's access) fails, and deletion waits for every open
// to share deletion. It does not see opens made by other processes, nor byte
// range locks.
#include "share_table.h"

#include <algorithm>

namespace win32posix {
namespace {

constexpr DWORD kDeleteRight = 0x00010000u; // DELETE
constexpr DWORD kGenericAll = 0x10000000u;  // GENERIC_ALL
constexpr DWORD kFileReadData = 0x0001u;
constexpr DWORD kFileWriteData = 0x0002u;
constexpr DWORD kFileAppendData = 0x0004u;
constexpr DWORD kFileExecute = 0x0020u;        // FILE_EXECUTE, FILE_TRAVERSE for a folder
constexpr DWORD kGenericExecute = 0x20000000u; // GENERIC_EXECUTE

// FILE_SHARE_* bit that allows each kShareAccess* right.
bool ShareAllows(DWORD share, DWORD access)
{
    if ((access & kShareAccessRead) && !(share & FILE_SHARE_READ))
        return false;
    if ((access & kShareAccessWrite) && !(share & FILE_SHARE_WRITE))
        return false;
    if ((access & kShareAccessDelete) && !(share & FILE_SHARE_DELETE))
        return false;
    return true;
}

} // namespace

DWORD ShareAccessFromDesired(DWORD desired)
{
    DWORD access = 0;
    // Executing (traversing a folder) counts as reading; the attributes, the
    // security and SYNCHRONIZE count as nothing.
    if (desired & (GENERIC_READ | kGenericAll | kFileReadData | kFileExecute | kGenericExecute))
        access |= kShareAccessRead;
    if (desired & (GENERIC_WRITE | kGenericAll | kFileWriteData | kFileAppendData))
        access |= kShareAccessWrite;
    if (desired & (kDeleteRight | kGenericAll))
        access |= kShareAccessDelete;
    return access;
}

bool OpensConflict(DWORD existingAccess, DWORD existingShare, DWORD newAccess, DWORD newShare)
{
    if (existingAccess == 0 || newAccess == 0)
        return false;
    return !ShareAllows(existingShare, newAccess) || !ShareAllows(newShare, existingAccess);
}

std::optional<ShareTable::Ticket> ShareTable::TryAdd(FileId file, DWORD access, DWORD share)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Entry>& entries = files_[file];
    for (const Entry& entry : entries) {
        if (!entry.mapping && OpensConflict(entry.access, entry.share, access, share)) {
            if (entries.empty())
                files_.erase(file);
            return std::nullopt;
        }
    }
    Ticket ticket = nextTicket_++;
    entries.push_back(Entry{ticket, access, share, false});
    return ticket;
}

ShareTable::Ticket ShareTable::AddMapping(FileId file)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Ticket ticket = nextTicket_++;
    files_[file].push_back(Entry{ticket, 0, 0, true});
    return ticket;
}

void ShareTable::Remove(FileId file, Ticket ticket)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(file);
    if (it == files_.end())
        return;
    std::vector<Entry>& entries = it->second;
    entries.erase(std::remove_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.ticket == ticket; }),
                  entries.end());
    if (entries.empty())
        files_.erase(it);
}

DeleteCheck ShareTable::CheckDelete(FileId file) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(file);
    if (it == files_.end())
        return DeleteCheck::Allowed;
    // The open for deletion meets the share modes first (ERROR_SHARING_VIOLATION
    // while an open refuses it); only then does a mapping refuse the deletion.
    for (const Entry& entry : it->second)
        if (!entry.mapping && OpensConflict(entry.access, entry.share, kShareAccessDelete,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
            return DeleteCheck::SharingViolation;
    for (const Entry& entry : it->second)
        if (entry.mapping)
            return DeleteCheck::Mapped;
    return DeleteCheck::Allowed;
}

bool ShareTable::IsMapped(FileId file) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(file);
    if (it == files_.end())
        return false;
    return std::any_of(it->second.begin(), it->second.end(), [](const Entry& e) { return e.mapping; });
}

size_t ShareTable::EntryCount(FileId file) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(file);
    return it == files_.end() ? 0 : it->second.size();
}

} // namespace win32posix
