// Emulates the owner part of Windows security for files: GetSecurityInfo
// reports the owner of an open file, folder or link (opened by itself with
// FILE_FLAG_OPEN_REPARSE_POINT) as a security identifier, and IsWellKnownSid,
// EqualSid and LocalFree work on what it hands out.
//
// Host owners become SIDs so that the rule "an administrator or the system
// made it" reads on Linux as it does on Windows:
// - uid 0 (root) is BUILTIN\Administrators, S-1-5-32-544;
// - the effective uid of the process, when it is not 0, is SYSTEM, S-1-5-18
//   (the account a service runs as);
// - any other uid N is the user S-1-5-21-0-0-0-N.
// Groups, access lists and the other object types are not emulated.
#include "errors.h"
#include "fault_plan.h"
#include "handles.h"

#include <aclapi.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace win32posix {
namespace {

constexpr BYTE kNtAuthority[6] = {0, 0, 0, 0, 0, 5};
constexpr DWORD kMaxSubAuthorities = 15; // as on Windows

// The sub-authorities of the SID standing for `uid` (all in the NT authority).
std::vector<DWORD> SubAuthoritiesOf(uid_t uid)
{
    if (uid == 0)
        return {32, 544};
    if (uid == geteuid())
        return {18};
    return {21, 0, 0, 0, DWORD(uid)};
}

std::vector<DWORD> SubAuthoritiesOf(WELL_KNOWN_SID_TYPE type)
{
    switch (type) {
    case WinLocalSystemSid:
        return {18};
    case WinBuiltinAdministratorsSid:
        return {32, 544};
    }
    return {};
}

// Bytes of a SID with `count` sub-authorities.
size_t SidLength(DWORD count)
{
    return offsetof(SID, SubAuthority) + count * sizeof(DWORD);
}

void WriteSid(void* at, const std::vector<DWORD>& subAuthorities)
{
    SID header{};
    header.Revision = SID_REVISION;
    header.SubAuthorityCount = BYTE(subAuthorities.size());
    std::memcpy(header.IdentifierAuthority.Value, kNtAuthority, sizeof kNtAuthority);
    std::memcpy(at, &header, offsetof(SID, SubAuthority));
    std::memcpy(static_cast<char*>(at) + offsetof(SID, SubAuthority), subAuthorities.data(),
                subAuthorities.size() * sizeof(DWORD));
}

bool IsValid(const SID* sid)
{
    return sid != nullptr && sid->Revision == SID_REVISION && sid->SubAuthorityCount <= kMaxSubAuthorities;
}

bool IsNtSid(const SID* sid, const std::vector<DWORD>& subAuthorities)
{
    return IsValid(sid) && sid->SubAuthorityCount == subAuthorities.size() &&
           std::memcmp(sid->IdentifierAuthority.Value, kNtAuthority, sizeof kNtAuthority) == 0 &&
           std::memcmp(sid->SubAuthority, subAuthorities.data(), subAuthorities.size() * sizeof(DWORD)) == 0;
}

} // namespace
} // namespace win32posix

using namespace win32posix;

extern "C" DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                                        PSID* ppsidOwner, PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                                        PSECURITY_DESCRIPTOR* ppSecurityDescriptor)
{
    if (ObjectType != SE_FILE_OBJECT || SecurityInfo != OWNER_SECURITY_INFORMATION)
        return ERROR_NOT_SUPPORTED;
    if (!ppSecurityDescriptor)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<OpenFile> file = OpenFileOfHandle(handle);
    if (!file)
        return ERROR_INVALID_HANDLE;
    if (!file->readControl)
        return ERROR_ACCESS_DENIED;
    if (PlannedFault(file->hostPath()))
        return ErrorFromErrno(errno);
    struct stat st;
    if (fstat(file->fd(), &st) != 0)
        return ErrorFromErrno(errno);

    const std::vector<DWORD> owner = SubAuthoritiesOf(st.st_uid);
    const size_t header = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    void* block = std::calloc(1, header + SidLength(DWORD(owner.size())));
    if (!block)
        return ERROR_NOT_ENOUGH_MEMORY;
    SECURITY_DESCRIPTOR_RELATIVE descriptor{};
    descriptor.Revision = SECURITY_DESCRIPTOR_REVISION;
    descriptor.Control = SE_SELF_RELATIVE;
    descriptor.Owner = DWORD(header);
    std::memcpy(block, &descriptor, header);
    WriteSid(static_cast<char*>(block) + header, owner);

    *ppSecurityDescriptor = block;
    if (ppsidOwner)
        *ppsidOwner = static_cast<char*>(block) + header;
    if (ppsidGroup)
        *ppsidGroup = nullptr;
    if (ppDacl)
        *ppDacl = nullptr;
    if (ppSacl)
        *ppSacl = nullptr;
    return ERROR_SUCCESS;
}

extern "C" BOOL WINAPI IsWellKnownSid(PSID pSid, WELL_KNOWN_SID_TYPE WellKnownSidType)
{
    const std::vector<DWORD> wanted = SubAuthoritiesOf(WellKnownSidType);
    return !wanted.empty() && IsNtSid(static_cast<const SID*>(pSid), wanted);
}

extern "C" BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2)
{
    const SID* first = static_cast<const SID*>(pSid1);
    const SID* second = static_cast<const SID*>(pSid2);
    if (!IsValid(first) || !IsValid(second)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return first->SubAuthorityCount == second->SubAuthorityCount &&
           std::memcmp(first, second, SidLength(first->SubAuthorityCount)) == 0;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    std::free(hMem);
    return nullptr;
}
