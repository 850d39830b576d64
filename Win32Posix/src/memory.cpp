// Virtual memory as Windows hands it out: VirtualAlloc reserves and commits
// zeroed pages on 64 KiB boundaries (mmap), remembers each region so that
// VirtualFree(base, 0, MEM_RELEASE) releases it whole, and refuses wrong
// arguments with Windows' error codes. VirtualLock/VirtualUnlock lock pages
// with mlock and remember which pages are locked, so that unlocking a page
// that is not locked fails with ERROR_NOT_LOCKED as on Windows; a lock over
// the process's limit fails with ERROR_WORKING_SET_QUOTA. Not emulated:
// execute protections, PAGE_GUARD and the other modifiers, MEM_RESET and
// MEM_LARGE_PAGES, and the working set (locking is bounded by
// RLIMIT_MEMLOCK, not by SetProcessWorkingSetSize).
#include "errors.h"

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

using win32posix::Fail;

constexpr DWORD kPageNoAccess = 0x01;   // PAGE_NOACCESS
constexpr DWORD kMemDecommit = 0x4000;  // MEM_DECOMMIT
constexpr DWORD kMemTopDown = 0x100000; // MEM_TOP_DOWN: a placement hint, ignored
constexpr uintptr_t kAllocationGranularity = 0x10000;

// mlock and munlock by system call: AddressSanitizer's interceptors turn the
// library functions into no-ops that always succeed, which would hide the
// lock limit from VirtualLock in instrumented builds.
int LockPages(uintptr_t begin, uintptr_t end)
{
    return static_cast<int>(syscall(SYS_mlock, begin, end - begin));
}
int UnlockPages(uintptr_t begin, uintptr_t end)
{
    return static_cast<int>(syscall(SYS_munlock, begin, end - begin));
}

uintptr_t PageSize()
{
    static const uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return size;
}
uintptr_t PageDown(uintptr_t address)
{
    return address & ~(PageSize() - 1);
}
uintptr_t PageUp(uintptr_t address)
{
    return PageDown(address + PageSize() - 1);
}

// Page state within a region: 0 = reserved only, else the committed protection.
struct Region {
    size_t size = 0;
    std::vector<DWORD> pages;
};

int HostProtection(DWORD protect)
{
    switch (protect) {
    case PAGE_READONLY:
        return PROT_READ;
    case PAGE_READWRITE:
        return PROT_READ | PROT_WRITE;
    default:
        return PROT_NONE;
    }
}

bool IsSupportedProtection(DWORD protect)
{
    return protect == kPageNoAccess || protect == PAGE_READONLY || protect == PAGE_READWRITE;
}

class AddressSpace {
public:
    LPVOID Allocate(uintptr_t address, size_t size, DWORD type, DWORD protect)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (address == 0) {
            return ReserveAnywhere(size, type, protect);
        }
        auto region = RegionContaining(address);
        if (region != regions_.end()) {
            if (type & MEM_RESERVE) {
                return FailNull(ERROR_INVALID_ADDRESS); // already reserved
            }
            return CommitInside(region, address, size, protect);
        }
        if (!(type & MEM_RESERVE)) {
            return FailNull(ERROR_INVALID_ADDRESS); // committing what was never reserved
        }
        return ReserveAt(address, size, type, protect);
    }

    BOOL Release(uintptr_t address, size_t size)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (size != 0) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        auto region = RegionContaining(address);
        if (region == regions_.end()) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        if (region->first != address) {
            return Fail(ERROR_INVALID_ADDRESS); // only a whole region can be released
        }
        munmap(reinterpret_cast<void*>(address), region->second.size);
        ForgetLocks(address, address + region->second.size);
        regions_.erase(region);
        return TRUE;
    }

    BOOL Decommit(uintptr_t address, size_t size)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto region = RegionContaining(address);
        if (region == regions_.end()) {
            return Fail(ERROR_INVALID_ADDRESS);
        }
        if (size == 0 && address != region->first) {
            return Fail(ERROR_INVALID_ADDRESS);
        }
        const uintptr_t begin = PageDown(address);
        const uintptr_t end = size == 0 ? region->first + region->second.size : PageUp(address + size);
        if (end > region->first + region->second.size) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        // A fresh inaccessible mapping drops the content, as decommitting does.
        if (mmap(reinterpret_cast<void*>(begin), end - begin, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
                 0) == MAP_FAILED) {
            return Fail(win32posix::ErrorFromErrno(errno));
        }
        MarkPages(region->first, region->second, begin, end, 0);
        ForgetLocks(begin, end);
        return TRUE;
    }

    BOOL Lock(uintptr_t address, size_t size)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uintptr_t begin = PageDown(address);
        const uintptr_t end = size == 0 ? begin : PageUp(address + size);
        if (end < begin) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        if (!IsAccessible(begin, end)) {
            return Fail(ERROR_NOACCESS);
        }
        if (begin != end && LockPages(begin, end) != 0) {
            // ENOMEM, EAGAIN, EPERM: over the process's lock limit.
            return Fail(ERROR_WORKING_SET_QUOTA);
        }
        for (uintptr_t page = begin; page < end; page += PageSize()) {
            lockedPages_.insert(page);
        }
        return TRUE;
    }

    BOOL Unlock(uintptr_t address, size_t size)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uintptr_t begin = PageDown(address);
        const uintptr_t end = size == 0 ? begin : PageUp(address + size);
        if (end < begin) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        for (uintptr_t page = begin; page < end; page += PageSize()) {
            if (lockedPages_.count(page) == 0) {
                return Fail(ERROR_NOT_LOCKED); // nothing is unlocked then
            }
        }
        if (begin != end) {
            UnlockPages(begin, end);
        }
        ForgetLocks(begin, end);
        return TRUE;
    }

private:
    using RegionMap = std::map<uintptr_t, Region>;

    static LPVOID FailNull(DWORD error)
    {
        SetLastError(error);
        return nullptr;
    }

    RegionMap::iterator RegionContaining(uintptr_t address)
    {
        auto next = regions_.upper_bound(address);
        if (next == regions_.begin()) {
            return regions_.end();
        }
        auto candidate = std::prev(next);
        return address < candidate->first + candidate->second.size ? candidate : regions_.end();
    }

    static int InitialProtection(DWORD type, DWORD protect)
    {
        return (type & MEM_COMMIT) ? HostProtection(protect) : PROT_NONE;
    }

    void AddRegion(uintptr_t base, size_t size, DWORD type, DWORD protect)
    {
        Region region;
        region.size = size;
        region.pages.assign(size / PageSize(), (type & MEM_COMMIT) ? protect : 0);
        regions_[base] = std::move(region);
    }

    // A new region at an address that is a multiple of the allocation
    // granularity: map more than needed and trim both ends.
    LPVOID ReserveAnywhere(size_t size, DWORD type, DWORD protect)
    {
        const size_t length = PageUp(size);
        const size_t padded = length + kAllocationGranularity;
        void* mapped = mmap(nullptr, padded, InitialProtection(type, protect), MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            return FailNull(ERROR_NOT_ENOUGH_MEMORY);
        }
        const auto start = reinterpret_cast<uintptr_t>(mapped);
        const uintptr_t base = (start + kAllocationGranularity - 1) & ~(kAllocationGranularity - 1);
        if (base > start) {
            munmap(mapped, base - start);
        }
        const uintptr_t tail = base + length;
        if (start + padded > tail) {
            munmap(reinterpret_cast<void*>(tail), start + padded - tail);
        }
        AddRegion(base, length, type, protect);
        return reinterpret_cast<LPVOID>(base);
    }

    LPVOID ReserveAt(uintptr_t address, size_t size, DWORD type, DWORD protect)
    {
        const uintptr_t base = address & ~(kAllocationGranularity - 1);
        const size_t length = PageUp(address + size) - base;
        void* wanted = reinterpret_cast<void*>(base);
        void* mapped = mmap(wanted, length, InitialProtection(type, protect),
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (mapped == MAP_FAILED) {
            return FailNull(ERROR_INVALID_ADDRESS);
        }
        if (mapped != wanted) { // a kernel that treats the flag as a hint
            munmap(mapped, length);
            return FailNull(ERROR_INVALID_ADDRESS);
        }
        AddRegion(base, length, type, protect);
        return wanted;
    }

    // Commits pages of a reserved region; committed pages keep their content.
    LPVOID CommitInside(RegionMap::iterator region, uintptr_t address, size_t size, DWORD protect)
    {
        const uintptr_t begin = PageDown(address);
        const uintptr_t end = PageUp(address + size);
        if (end > region->first + region->second.size) {
            return FailNull(ERROR_INVALID_ADDRESS);
        }
        if (mprotect(reinterpret_cast<void*>(begin), end - begin, HostProtection(protect)) != 0) {
            return FailNull(win32posix::ErrorFromErrno(errno));
        }
        MarkPages(region->first, region->second, begin, end, protect);
        return reinterpret_cast<LPVOID>(begin);
    }

    static void MarkPages(uintptr_t base, Region& region, uintptr_t begin, uintptr_t end, DWORD state)
    {
        for (uintptr_t page = begin; page < end; page += PageSize()) {
            region.pages[(page - base) / PageSize()] = state;
        }
    }

    // Pages of our regions must be committed and not PAGE_NOACCESS; other
    // memory (stack, heap) must at least be mapped.
    bool IsAccessible(uintptr_t begin, uintptr_t end)
    {
        for (uintptr_t page = begin; page < end; page += PageSize()) {
            auto region = RegionContaining(page);
            if (region != regions_.end()) {
                const DWORD state = region->second.pages[(page - region->first) / PageSize()];
                if (state == 0 || state == kPageNoAccess) {
                    return false;
                }
            } else if (msync(reinterpret_cast<void*>(page), PageSize(), MS_ASYNC) != 0) {
                return false; // ENOMEM: nothing mapped there
            }
        }
        return true;
    }

    void ForgetLocks(uintptr_t begin, uintptr_t end)
    {
        lockedPages_.erase(lockedPages_.lower_bound(begin), lockedPages_.lower_bound(end));
    }

    std::mutex mutex_;
    RegionMap regions_;
    std::set<uintptr_t> lockedPages_;
};

AddressSpace& Space()
{
    static AddressSpace* space = new AddressSpace; // never destroyed: usable until the process ends
    return *space;
}

bool IsValidAllocationType(DWORD type)
{
    const DWORD kinds = type & (MEM_COMMIT | MEM_RESERVE);
    return kinds != 0 && (type & ~(MEM_COMMIT | MEM_RESERVE | kMemTopDown)) == 0;
}

} // namespace

extern "C" LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect)
{
    if (dwSize == 0 || !IsValidAllocationType(flAllocationType) || !IsSupportedProtection(flProtect)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const auto address = reinterpret_cast<uintptr_t>(lpAddress);
    if (address + dwSize < address) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Space().Allocate(address, dwSize, flAllocationType, flProtect);
}

extern "C" BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType)
{
    const auto address = reinterpret_cast<uintptr_t>(lpAddress);
    if (dwFreeType == MEM_RELEASE) {
        return Space().Release(address, dwSize);
    }
    if (dwFreeType == kMemDecommit) {
        return Space().Decommit(address, dwSize);
    }
    return Fail(ERROR_INVALID_PARAMETER);
}

extern "C" BOOL WINAPI VirtualLock(LPVOID lpAddress, SIZE_T dwSize)
{
    return Space().Lock(reinterpret_cast<uintptr_t>(lpAddress), dwSize);
}

extern "C" BOOL WINAPI VirtualUnlock(LPVOID lpAddress, SIZE_T dwSize)
{
    return Space().Unlock(reinterpret_cast<uintptr_t>(lpAddress), dwSize);
}
