// Owners of the system's resources: each closes what it holds when it goes,
// so a task that fails, returns early or throws leaves nothing open. Only
// these types release handles, find handles, views, modules, security
// descriptors and the receive buffer.
#pragma once

#include <windows.h>

#include <cstddef>
#include <utility>

namespace qek {

// Holds one resource described by `Traits`: its type (`Value`), the value
// that means "none" (`Empty()`), and how to let it go (`Close`).
template <class Traits>
class UniqueResource {
public:
    using Value = typename Traits::Value;

    UniqueResource() = default;
    explicit UniqueResource(Value value) : value_(value) { }
    ~UniqueResource() { Reset(); }

    UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) { }
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Value Get() const { return value_; }
    bool IsValid() const { return Traits::IsValid(value_); }

    // Gives the resource up without closing it.
    Value Release() { return std::exchange(value_, Traits::Empty()); }

    // Closes what is held (if anything) and holds `value` instead.
    void Reset(Value value = Traits::Empty())
    {
        const Value old = std::exchange(value_, value);
        if (Traits::IsValid(old)) {
            Traits::Close(old);
        }
    }

private:
    Value value_ = Traits::Empty();
};

// A kernel handle: files (INVALID_HANDLE_VALUE when a creation failed) and
// mappings (null when one failed) alike.
struct KernelHandleTraits {
    using Value = HANDLE;
    static Value Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Value value) { return value != INVALID_HANDLE_VALUE && value != nullptr; }
    static void Close(Value value) { CloseHandle(value); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// A directory listing of FindFirstFileA.
struct FindHandleTraits {
    using Value = HANDLE;
    static Value Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Value value) { return value != INVALID_HANDLE_VALUE; }
    static void Close(Value value) { FindClose(value); }
};
using UniqueFindHandle = UniqueResource<FindHandleTraits>;

// A view of a mapped file.
struct MappedViewTraits {
    using Value = LPCVOID;
    static Value Empty() { return nullptr; }
    static bool IsValid(Value value) { return value != nullptr; }
    static void Close(Value value) { UnmapViewOfFile(value); }
};
using UniqueView = UniqueResource<MappedViewTraits>;

// A loaded library.
struct ModuleTraits {
    using Value = HMODULE;
    static Value Empty() { return nullptr; }
    static bool IsValid(Value value) { return value != nullptr; }
    static void Close(Value value) { FreeLibrary(value); }
};
using UniqueModule = UniqueResource<ModuleTraits>;

// A security descriptor handed out by GetSecurityInfo.
struct SecurityDescriptorTraits {
    using Value = PSECURITY_DESCRIPTOR;
    static Value Empty() { return nullptr; }
    static bool IsValid(Value value) { return value != nullptr; }
    static void Close(Value value) { LocalFree(value); }
};
using UniqueSecurityDescriptor = UniqueResource<SecurityDescriptorTraits>;

// Committed memory of `size` bytes, page-aligned, locked into memory when the
// system allows it (the tasks' receive buffer: writes without the system
// cache need an aligned buffer).
class LockedBuffer {
public:
    explicit LockedBuffer(std::size_t size)
        : size_(size), memory_(VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE))
    {
        locked_ = memory_ != nullptr && VirtualLock(memory_, size_) != FALSE;
    }
    ~LockedBuffer()
    {
        if (locked_) {
            VirtualUnlock(memory_, size_);
        }
        if (memory_ != nullptr) {
            VirtualFree(memory_, 0, MEM_RELEASE);
        }
    }
    LockedBuffer(const LockedBuffer&) = delete;
    LockedBuffer& operator=(const LockedBuffer&) = delete;

    // Null when the memory could not be committed (GetLastError tells why).
    void* Memory() const { return memory_; }

private:
    std::size_t size_;
    void* memory_;
    bool locked_ = false;
};

} // namespace qek
