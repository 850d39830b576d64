// Emulates Windows handles: opaque values that name kernel objects, checked on
// every use, and CloseHandle. It does not emulate handle inheritance,
// DuplicateHandle, pseudo-handles or waiting on handles; values are never
// reused within the process, so a stale handle fails instead of naming a
// newer object.
#include "handles.h"

#include "errors.h"

#include <sys/stat.h>

#include <map>
#include <mutex>

namespace win32posix {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::map<uintptr_t, std::shared_ptr<HandleObject>> objects;
    uintptr_t next = 0x1000; // multiples of 4, as Windows hands out
};

HandleTable& Table()
{
    static HandleTable* table = new HandleTable; // never destroyed: handles may be closed during exit
    return *table;
}

} // namespace

ShareTable& ProcessShareTable()
{
    static ShareTable* table = new ShareTable; // never destroyed, as the handle table
    return *table;
}

OpenFile::OpenFile(UniqueFd fd, std::string hostPath, FileId id, DWORD shareAccess,
                   std::optional<ShareTable::Ticket> ticket)
    : fd_(std::move(fd)), hostPath_(std::move(hostPath)), id_(id), shareAccess_(shareAccess), ticket_(ticket)
{
}

OpenFile::~OpenFile()
{
    fd_.Reset(); // the descriptor goes first: the entry keeps refusing until nothing reaches the file
    if (ticket_)
        ProcessShareTable().Remove(id_, *ticket_);
}

std::optional<uint64_t> OpenFile::Size() const
{
    struct stat st;
    if (fstat(fd_.Get(), &st) != 0) {
        SetLastErrorFromErrno();
        return std::nullopt;
    }
    return uint64_t(st.st_size);
}

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object)
{
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    uintptr_t value = table.next;
    table.next += 4;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle, HandleKind kind)
{
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end() || it->second->kind() != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<OpenFile> OpenFileOfHandle(HANDLE handle)
{
    std::shared_ptr<FileHandleObject> object = LookupHandleAs<FileHandleObject>(handle, HandleKind::File);
    return object ? object->file() : nullptr;
}

bool UnregisterHandle(HANDLE handle, HandleKind kind)
{
    std::shared_ptr<HandleObject> removed; // destroyed after the lock is released
    HandleTable& table = Table();
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == table.objects.end() || it->second->kind() != kind) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        removed = std::move(it->second);
        table.objects.erase(it);
    }
    return true;
}

} // namespace win32posix

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    using namespace win32posix;
    std::shared_ptr<HandleObject> removed;
    HandleTable& table = Table();
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.objects.find(reinterpret_cast<uintptr_t>(hObject));
        if (it == table.objects.end() || it->second->kind() == HandleKind::Find)
            return Fail(ERROR_INVALID_HANDLE);
        removed = std::move(it->second);
        table.objects.erase(it);
    }
    return TRUE;
}
