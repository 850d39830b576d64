// File mappings of open files: CreateFileMappingA makes a section of a file
// handle, MapViewOfFile maps views of it with mmap, UnmapViewOfFile removes
// them. A section holds the file's open-file object, and every view holds the
// section, so the descriptor and the open's share-table entry (and a mapping
// entry, which refuses deletion and truncation) last until the mapping handle
// is closed and every view is unmapped: a mapped file can't be deleted, as on
// Windows. An empty file can't be mapped (ERROR_FILE_INVALID).
//
// A read-only view is a copy of the file's bytes read when it is mapped, not
// pages of the file: on POSIX another process can cut a mapped file short,
// and touching a page of a file beyond its end kills the process (SIGBUS). A
// file that is shorter than its section by then fails the view
// (ERROR_FILE_INVALID). Such a view does not see later writes. Not emulated:
// named and page-file-backed sections, SEC_IMAGE and the other SEC_* kinds,
// execute access, views at a chosen address, and coherence with writes made
// through the file beyond what the host's page cache gives (which on Linux is
// coherent).
#include "errors.h"
#include "fault_plan.h"
#include "handles.h"

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using win32posix::Fail;

constexpr DWORD kSecCommit = 0x08000000;      // SEC_COMMIT: the default for file sections
constexpr DWORD kFileMapWrite = 0x0002;       // FILE_MAP_WRITE (part of FILE_MAP_ALL_ACCESS)
constexpr DWORD kErrorMappedAlignment = 1132; // ERROR_MAPPED_ALIGNMENT
constexpr uint64_t kAllocationGranularity = 0x10000;

// What a mapping handle and its views share: the open file, the section's size
// and its mapping entry in the share table.
class Section {
public:
    Section(std::shared_ptr<win32posix::OpenFile> file, uint64_t size, bool writable)
        : file_(std::move(file)), size_(size), writable_(writable),
          ticket_(win32posix::ProcessShareTable().AddMapping(file_->id()))
    {
    }
    ~Section() { win32posix::ProcessShareTable().Remove(file_->id(), ticket_); }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;

    int fd() const { return file_->fd(); }
    uint64_t size() const { return size_; }
    bool writable() const { return writable_; }

private:
    std::shared_ptr<win32posix::OpenFile> file_;
    uint64_t size_;
    bool writable_;
    win32posix::ShareTable::Ticket ticket_;
};

class FileMappingObject : public win32posix::HandleObject {
public:
    explicit FileMappingObject(std::shared_ptr<Section> section)
        : HandleObject(win32posix::HandleKind::FileMapping), section_(std::move(section))
    {
    }
    const std::shared_ptr<Section>& section() const { return section_; }

private:
    std::shared_ptr<Section> section_;
};

struct View {
    size_t length = 0;
    std::shared_ptr<Section> section;
};

// The mapped views by base address.
class ViewTable {
public:
    void Add(uintptr_t base, View view)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        views_[base] = std::move(view);
    }

    // Unmaps the view that holds `address` (any address inside it, as
    // Windows accepts); false when no view does.
    bool Remove(uintptr_t address)
    {
        std::shared_ptr<Section> released; // let go of outside the lock
        std::lock_guard<std::mutex> lock(mutex_);
        auto next = views_.upper_bound(address);
        if (next == views_.begin()) {
            return false;
        }
        auto view = std::prev(next);
        if (address >= view->first + view->second.length) {
            return false;
        }
        munmap(reinterpret_cast<void*>(view->first), view->second.length);
        released = std::move(view->second.section);
        views_.erase(view);
        return true;
    }

private:
    std::mutex mutex_;
    std::map<uintptr_t, View> views_;
};

ViewTable& Views()
{
    static ViewTable* views = new ViewTable; // never destroyed: usable until the process ends
    return *views;
}

uint64_t Combine(DWORD high, DWORD low)
{
    return (uint64_t(high) << 32) | low;
}

HANDLE FailHandle(DWORD error)
{
    SetLastError(error);
    return nullptr;
}

LPVOID FailView(DWORD error)
{
    SetLastError(error);
    return nullptr;
}

// The section's size: the file's, or the one asked for; a read-only section
// can't be larger than its file, a writable one grows the file.
bool SectionSize(win32posix::OpenFile& file, uint64_t requested, bool writable, uint64_t& size)
{
    const auto fileSize = file.Size();
    if (!fileSize) {
        return false; // last error set
    }
    if (requested == 0) {
        if (*fileSize == 0) {
            SetLastError(ERROR_FILE_INVALID);
            return false;
        }
        size = *fileSize;
        return true;
    }
    if (requested > *fileSize) {
        if (!writable) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        if (ftruncate(file.fd(), static_cast<off_t>(requested)) != 0) {
            win32posix::SetLastErrorFromErrno();
            return false;
        }
    }
    size = requested;
    return true;
}

// A read-only view: the bytes of the file at `offset`, read into pages of
// their own that are then made read-only. MAP_FAILED, with the last error
// set, when they cannot be read in full.
void* ReadCopy(int fd, uint64_t offset, size_t length)
{
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return MAP_FAILED;
    }
    auto* bytes = static_cast<char*>(base);
    size_t done = 0;
    while (done < length) {
        const ssize_t got = pread(fd, bytes + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            // Unreadable, or cut short by someone else since the section was made.
            if (got < 0) {
                win32posix::SetLastErrorFromErrno();
            } else {
                SetLastError(ERROR_FILE_INVALID);
            }
            munmap(base, length);
            return MAP_FAILED;
        }
        done += static_cast<size_t>(got);
    }
    mprotect(base, length, PROT_READ);
    return base;
}

} // namespace

extern "C" HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES /*lpFileMappingAttributes*/,
                                            DWORD flProtect, DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow,
                                            LPCSTR lpName)
{
    const DWORD protection = flProtect & ~kSecCommit;
    if (protection != PAGE_READONLY && protection != PAGE_READWRITE) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    const uint64_t requested = Combine(dwMaximumSizeHigh, dwMaximumSizeLow);
    if (hFile == INVALID_HANDLE_VALUE) {
        // A section of the page file needs a size, and is not emulated.
        return FailHandle(requested == 0 ? ERROR_INVALID_PARAMETER : ERROR_NOT_SUPPORTED);
    }
    if (lpName != nullptr) {
        return FailHandle(ERROR_NOT_SUPPORTED);
    }
    const auto file = win32posix::OpenFileOfHandle(hFile);
    if (!file) {
        return nullptr; // ERROR_INVALID_HANDLE set
    }
    const bool writable = protection == PAGE_READWRITE;
    if (file->isDirectory || !file->canRead() || (writable && !file->canWrite())) {
        return FailHandle(ERROR_ACCESS_DENIED);
    }
    if (win32posix::PlannedFault(file->hostPath())) {
        return FailHandle(win32posix::ErrorFromErrno(errno));
    }
    uint64_t size = 0;
    if (!SectionSize(*file, requested, writable, size)) {
        return nullptr;
    }
    auto section = std::make_shared<Section>(file, size, writable);
    HANDLE handle = win32posix::RegisterHandle(std::make_shared<FileMappingObject>(std::move(section)));
    SetLastError(ERROR_SUCCESS); // not ERROR_ALREADY_EXISTS: sections are never shared by name
    return handle;
}

extern "C" LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                                       DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap)
{
    const auto mapping =
        win32posix::LookupHandleAs<FileMappingObject>(hFileMappingObject, win32posix::HandleKind::FileMapping);
    if (!mapping) {
        return nullptr; // ERROR_INVALID_HANDLE set
    }
    const std::shared_ptr<Section>& section = mapping->section();
    const bool write = (dwDesiredAccess & kFileMapWrite) != 0;
    const bool copy = !write && (dwDesiredAccess & FILE_MAP_COPY) != 0;
    if (write && !section->writable()) {
        return FailView(ERROR_ACCESS_DENIED);
    }
    const uint64_t offset = Combine(dwFileOffsetHigh, dwFileOffsetLow);
    if (offset % kAllocationGranularity != 0) {
        return FailView(kErrorMappedAlignment);
    }
    if (offset >= section->size()) {
        return FailView(ERROR_INVALID_PARAMETER);
    }
    const uint64_t available = section->size() - offset;
    const uint64_t requested = dwNumberOfBytesToMap == 0 ? available : dwNumberOfBytesToMap;
    if (requested > available) {
        return FailView(ERROR_ACCESS_DENIED);
    }
    // A 32-bit process has no room for a view of 4 GiB or more: no view
    // rather than one of fewer bytes than asked for.
    if (requested > std::numeric_limits<size_t>::max()) {
        return FailView(ERROR_NOT_ENOUGH_MEMORY);
    }
    const size_t length = static_cast<size_t>(requested);
    void* base = MAP_FAILED;
    if (write || copy) {
        base = mmap(nullptr, length, PROT_READ | PROT_WRITE, copy ? MAP_PRIVATE : MAP_SHARED, section->fd(),
                    static_cast<off_t>(offset));
        if (base == MAP_FAILED) {
            win32posix::SetLastErrorFromErrno();
        }
    } else {
        base = ReadCopy(section->fd(), offset, length);
    }
    if (base == MAP_FAILED) {
        return nullptr;
    }
    Views().Add(reinterpret_cast<uintptr_t>(base), View{length, section});
    return base;
}

extern "C" BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress)
{
    if (!Views().Remove(reinterpret_cast<uintptr_t>(lpBaseAddress))) {
        return Fail(ERROR_INVALID_ADDRESS);
    }
    return TRUE;
}
