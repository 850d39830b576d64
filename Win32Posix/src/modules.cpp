// Modules: the executable's path in the backslash form the layer resolves
// ("\opt\x\bin\prog"), and dynamic libraries through dlopen. LoadLibraryA
// takes a Windows path; when "X.dll" is not there, the same folder's
// "libx.so" (lower case) is loaded in its place, which is how our own DLLs are
// built on POSIX; a bare name is looked for beside the executable, then as
// "libx.so" through the dynamic linker's search. Not emulated: ordinals,
// DllMain, the Windows search order (system and PATH folders), and
// GetModuleHandle; module handles are dlopen handles. Names are in the
// process's code page (GetModuleFileNameA gives '?' for a character of the
// host path that it cannot represent).
#include "codepage.h"
#include "environment.h"
#include "errors.h"
#include "path.h"
#include "resolve.h"
#include "unique_fd.h"

#include <windows.h>

#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using win32posix::Fail;

// Every module LoadLibraryA handed out, with its count of loads, so that
// handles are validated before dlsym or dlclose sees them.
class ModuleTable {
public:
    void Add(void* handle)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++loads_[handle];
    }
    bool Contains(void* handle)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return loads_.count(handle) != 0;
    }
    // False when the handle is unknown; else drops one load.
    bool Release(void* handle)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = loads_.find(handle);
        if (found == loads_.end()) {
            return false;
        }
        if (--found->second == 0) {
            loads_.erase(found);
        }
        dlclose(handle);
        return true;
    }

private:
    std::mutex mutex_;
    std::map<void*, int> loads_;
};

ModuleTable& Modules()
{
    static ModuleTable* table = new ModuleTable; // never destroyed: usable until the process ends
    return *table;
}

std::string Lower(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool EndsWithIgnoringCase(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && Lower(text.substr(text.size() - suffix.size())) == suffix;
}

// "Pelkit.dll" -> "libpelkit.so"; "Pelkit" -> "libpelkit.so".
std::string SharedObjectName(const std::string& dllName)
{
    std::string stem = EndsWithIgnoringCase(dllName, ".dll") ? dllName.substr(0, dllName.size() - 4) : dllName;
    return "lib" + Lower(stem) + ".so";
}

// Windows appends ".dll" to a name without an extension.
std::string WithDllExtension(const std::string& name)
{
    return name.find('.') == std::string::npos ? name + ".dll" : name;
}

bool IsRegularFile(const std::string& hostPath)
{
    struct stat st;
    return stat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool HasElfMagic(const std::string& hostPath)
{
    const win32posix::UniqueFd fd(open(hostPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.IsValid()) {
        return false;
    }
    char magic[4] = {};
    return read(fd.Get(), magic, sizeof magic) == 4 && memcmp(magic,
                                                              "\x7f"
                                                              "ELF",
                                                              4) == 0;
}

std::string JoinHost(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// libx.so (for the code-page name "X.dll") in a host folder, or nullopt.
std::optional<std::string> FindSharedObjectIn(const std::string& folder, const std::string& dllName)
{
    std::string found;
    if (win32posix::LookupName(folder, SharedObjectName(dllName), found) && IsRegularFile(JoinHost(folder, found))) {
        return JoinHost(folder, found);
    }
    return std::nullopt;
}

// The host file to load for a Windows path with a folder: X.dll itself, else
// libx.so beside it; nullopt when neither exists.
std::optional<std::string> FindLibraryFile(const std::string& windowsPath)
{
    win32posix::ResolvedPath resolved;
    if (win32posix::ResolvePath(windowsPath, resolved) != ERROR_SUCCESS || resolved.unrepresentable) {
        return std::nullopt;
    }
    if (resolved.exists && IsRegularFile(resolved.host)) {
        return resolved.host;
    }
    return FindSharedObjectIn(win32posix::HostParent(resolved.host), resolved.lastName);
}

// The host file to load for a bare name, beside the executable.
std::optional<std::string> FindLibraryBesideExecutable(const std::string& name)
{
    const std::string& folder = win32posix::ExecutableHostFolder();
    std::string found;
    if (win32posix::LookupName(folder, name, found) && IsRegularFile(JoinHost(folder, found))) {
        return JoinHost(folder, found);
    }
    return FindSharedObjectIn(folder, name);
}

HMODULE LoadFile(const std::string& hostPath)
{
    void* handle = dlopen(hostPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        // Not a library at all, or one whose dependencies or symbols are missing.
        SetLastError(HasElfMagic(hostPath) ? ERROR_MOD_NOT_FOUND : ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    Modules().Add(handle);
    return handle;
}

bool HasFolder(const std::string& name)
{
    return name.find_first_of("\\/:") != std::string::npos;
}

std::string BackslashForm(const std::string& hostPath)
{
    std::string windows = hostPath;
    for (char& c : windows) {
        if (c == '/') {
            c = '\\';
        }
    }
    return windows;
}

std::optional<std::string> ModuleHostPath(HMODULE module)
{
    if (module == nullptr) {
        return win32posix::ExecutableHostPath();
    }
    if (!Modules().Contains(module)) {
        return std::nullopt;
    }
    link_map* map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
        return std::nullopt;
    }
    return std::string(map->l_name);
}

} // namespace

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    if (lpLibFileName == nullptr || *lpLibFileName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!win32posix::ProcessCodePage()) {
        SetLastError(ERROR_BAD_ENVIRONMENT);
        return nullptr;
    }
    const std::string name = WithDllExtension(lpLibFileName);
    std::optional<std::string> file;
    if (HasFolder(name)) {
        file = FindLibraryFile(name);
    } else {
        file = FindLibraryBesideExecutable(name);
        if (!file) {
            void* handle = dlopen(SharedObjectName(name).c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle != nullptr) {
                Modules().Add(handle);
                return handle;
            }
        }
    }
    if (!file) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return LoadFile(*file);
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (hModule == nullptr || !Modules().Contains(hModule)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // A value below 0x10000 is an ordinal on Windows; shared objects have none.
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* symbol = dlsym(hModule, lpProcName);
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    if (hLibModule == nullptr || !Modules().Release(hLibModule)) {
        return Fail(ERROR_MOD_NOT_FOUND);
    }
    return TRUE;
}

// The truncation contract of Windows Vista and later: a path that does not fit
// is cut to nSize - 1 characters and terminated, the result is nSize and the
// last error ERROR_INSUFFICIENT_BUFFER.
extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    const auto hostPath = ModuleHostPath(hModule);
    if (!hostPath) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (!win32posix::ProcessCodePage()) {
        SetLastError(ERROR_BAD_ENVIRONMENT);
        return 0;
    }
    const std::string path = win32posix::FromHost(BackslashForm(*hostPath));
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() < nSize) {
        memcpy(lpFilename, path.c_str(), path.size() + 1);
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(path.size());
    }
    memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}
