// A read-only registry loaded from the .reg file named by QEL_REGISTRY
// (default <exe dir>/../etc/registry.reg; a missing file is an empty
// registry). The file is read again each time a key is opened, and an open key
// answers from the copy read when it was opened. Queries follow Windows: names
// compare without regard to case, REG_SZ data carries its terminator, a buffer
// that is too small gives ERROR_MORE_DATA with the size needed and the buffer
// untouched. Not emulated: writing, enumeration, security, and the
// HKEY_CURRENT_USER/HKEY_USERS link; a request for write access is refused
// with ERROR_ACCESS_DENIED, as for a user without rights on HKLM. Key and
// value names come in the process's code page and REG_SZ data goes out in it
// ('?' for a character it cannot represent); the file's text is UTF-8.
#include "codepage.h"
#include "environment.h"
#include "reg_file.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>

// The object behind an HKEY that RegOpenKeyExA returns.
struct QelRegistryKey {
    std::shared_ptr<const win32posix::RegistryTree> tree;
    std::string path; // folded full path
    REGSAM access = 0;
};

namespace {

// Rights that would let a caller change the registry, which this one cannot.
constexpr REGSAM kWriteRights = 0x0002 /*KEY_SET_VALUE*/ | 0x0004 /*KEY_CREATE_SUB_KEY*/ | 0x0020 /*KEY_CREATE_LINK*/ |
                                0x00010000 /*DELETE*/ | 0x00040000 /*WRITE_DAC*/ | 0x00080000 /*WRITE_OWNER*/ |
                                0x10000000 /*GENERIC_ALL*/ | 0x40000000 /*GENERIC_WRITE*/;
constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kMaximumAllowed = 0x02000000;

std::shared_ptr<const win32posix::RegistryTree> LoadRegistry()
{
    const std::string path = win32posix::RegistryFilePath();
    std::ifstream file(path, std::ios::binary);
    std::string bytes;
    if (file) {
        bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    } else {
        bytes = "REGEDIT4\n"; // no file: an empty registry
    }
    auto parse = win32posix::ParseRegistryFile(bytes);
    for (const auto& problem : parse.problems) {
        std::fprintf(stderr, "win32posix: %s:%zu: line skipped: %s\n", path.c_str(), problem.line,
                     problem.reason.c_str());
    }
    return std::make_shared<const win32posix::RegistryTree>(std::move(parse.tree));
}

// Keys handed out and not yet closed, so that stale or foreign values are
// refused instead of followed.
class OpenKeys {
public:
    HKEY Add(std::unique_ptr<QelRegistryKey> key)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        QelRegistryKey* raw = key.release();
        keys_.insert(raw);
        return raw;
    }
    // The key's tree and path, or false for an unknown handle.
    bool Find(HKEY handle, QelRegistryKey& copy)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (keys_.count(handle) == 0) {
            return false;
        }
        copy = *handle;
        return true;
    }
    bool Remove(HKEY handle)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (keys_.erase(handle) == 0) {
            return false;
        }
        delete handle;
        return true;
    }

private:
    std::mutex mutex_;
    std::set<HKEY> keys_;
};

OpenKeys& Keys()
{
    static OpenKeys* keys = new OpenKeys; // never destroyed: usable until the process ends
    return *keys;
}

std::optional<std::string> PredefinedRootName(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE)
        return std::string("HKEY_LOCAL_MACHINE");
    if (key == HKEY_CURRENT_USER)
        return std::string("HKEY_CURRENT_USER");
    if (key == HKEY_CLASSES_ROOT)
        return std::string("HKEY_CLASSES_ROOT");
    if (key == HKEY_USERS)
        return std::string("HKEY_USERS");
    return std::nullopt;
}

// What a handle stands for: an open key, or a root key (read now, with the
// rights to query it).
bool DescribeKey(HKEY handle, QelRegistryKey& key, bool loadRoot)
{
    if (auto root = PredefinedRootName(handle)) {
        key.path = *root;
        key.access = KEY_READ;
        if (loadRoot) {
            key.tree = LoadRegistry();
        }
        return true;
    }
    return Keys().Find(handle, key);
}

bool CanQueryValues(REGSAM access)
{
    return (access & (KEY_QUERY_VALUE | kGenericRead | kMaximumAllowed)) != 0;
}

} // namespace

extern "C" LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                                        PHKEY phkResult)
{
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    QelRegistryKey parent;
    if (!DescribeKey(hKey, parent, false)) {
        return ERROR_INVALID_HANDLE;
    }
    bool badEnvironment = false;
    const auto subKey = win32posix::ToHost(lpSubKey != nullptr ? lpSubKey : "", &badEnvironment);
    if (!subKey) {
        return badEnvironment ? ERROR_BAD_ENVIRONMENT : ERROR_FILE_NOT_FOUND;
    }
    const auto path = win32posix::JoinRegistryPath(parent.path, *subKey);
    if (!path) {
        return ERROR_BAD_PATHNAME;
    }
    if ((samDesired & kWriteRights) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    auto tree = LoadRegistry(); // read again on every open: edits show up without a restart
    if (win32posix::FindRegistryKey(*tree, *path) == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    auto key = std::make_unique<QelRegistryKey>();
    key->tree = std::move(tree);
    key->path = *path;
    key->access = samDesired;
    *phkResult = Keys().Add(std::move(key));
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                           LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    QelRegistryKey key;
    if (!DescribeKey(hKey, key, true)) {
        return ERROR_INVALID_HANDLE;
    }
    if (!CanQueryValues(key.access)) {
        return ERROR_ACCESS_DENIED;
    }
    const win32posix::RegistryKey* found = win32posix::FindRegistryKey(*key.tree, key.path);
    if (found == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    bool badEnvironment = false;
    const auto valueName = win32posix::ToHost(lpValueName != nullptr ? lpValueName : "", &badEnvironment);
    if (!valueName) {
        return badEnvironment ? ERROR_BAD_ENVIRONMENT : ERROR_FILE_NOT_FOUND;
    }
    const auto value = found->values.find(win32posix::FoldRegistryName(*valueName));
    if (value == found->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const std::string data =
        value->second.type == REG_SZ ? win32posix::FromHost(value->second.data) : value->second.data;
    if (lpType != nullptr) {
        *lpType = value->second.type;
    }
    if (lpcbData == nullptr) {
        return ERROR_SUCCESS;
    }
    const DWORD capacity = *lpcbData;
    *lpcbData = static_cast<DWORD>(data.size());
    if (lpData == nullptr) {
        return ERROR_SUCCESS;
    }
    if (capacity < data.size()) {
        return ERROR_MORE_DATA; // the buffer is left as it was
    }
    memcpy(lpData, data.data(), data.size());
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    if (PredefinedRootName(hKey)) {
        return ERROR_SUCCESS; // closing a root key is allowed and does nothing
    }
    return Keys().Remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
