#include "filetask/LinkOwners.h"

#include "base/Owners.h"
#include "base/Status.h"
#include "base/SystemNames.h"

#include <windows.h>
#include <aclapi.h>

namespace qek {

namespace {

// NT SERVICE\TrustedInstaller, the owner of the system's own files:
// S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464.
struct TrustedInstallerSid {
    BYTE revision = 1;
    BYTE subAuthorityCount = 6;
    BYTE authority[6] = {0, 0, 0, 0, 0, 5};
    DWORD subAuthorities[6] = {80, 956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478464u};
};

bool IsTrustedOwner(PSID owner)
{
    TrustedInstallerSid trustedInstaller;
    return IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid) ||
           EqualSid(owner, &trustedInstaller);
}

// The owner of the link at `path` itself, not of what it points to: nullopt
// when an administrator or the system owns it.
std::optional<UntrustedLink> CheckLinkOwner(const std::string& path)
{
    const UniqueHandle link(CreateFileA(path.c_str(), READ_CONTROL,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!link.IsValid()) {
        return UntrustedLink{path, Status::LastError(ERROR_ACCESS_DENIED).Code()};
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read = GetSecurityInfo(link.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                       nullptr, &descriptor);
    const UniqueSecurityDescriptor held(descriptor);
    if (read != ERROR_SUCCESS || owner == nullptr) {
        return UntrustedLink{path, read != ERROR_SUCCESS ? static_cast<int>(read) : ERROR_ACCESS_DENIED};
    }
    if (!IsTrustedOwner(owner)) {
        return UntrustedLink{path, 0};
    }
    return std::nullopt;
}

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

} // namespace

std::optional<UntrustedLink> FindUntrustedLink(std::string_view path)
{
    // Without its trailing backslashes, but a drive root keeps its own.
    std::string_view trimmed = path;
    while (trimmed.size() > 3 && SystemNames().EndsWithCharacter(trimmed, '\\')) {
        trimmed.remove_suffix(1);
    }
    const std::optional<DrivePath> parsed = SystemNames().ParseDrivePath(trimmed);
    if (!parsed) {
        return UntrustedLink{std::string(path), ERROR_BAD_PATHNAME};
    }
    for (const std::string_view component : parsed->components) {
        // The path up to the end of this component: the component itself is
        // named, never what a link there leads to.
        const std::string prefix(
            trimmed.substr(0, static_cast<size_t>(component.data() + component.size() - trimmed.data())));
        const DWORD attributes = GetFileAttributesA(prefix.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const Status unread = Status::LastError(ERROR_ACCESS_DENIED);
            if (IsMissing(static_cast<DWORD>(unread.Code()))) {
                return std::nullopt;
            }
            return UntrustedLink{prefix, unread.Code()};
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            if (std::optional<UntrustedLink> untrusted = CheckLinkOwner(prefix)) {
                return untrusted;
            }
        }
    }
    return std::nullopt;
}

} // namespace qek
