// The owner part of file security: GetSecurityInfo gives the owner of an open
// file or folder as a SID inside a descriptor freed with LocalFree, only on a
// handle that may read it (READ_CONTROL); IsWellKnownSid recognises the
// Administrators and SYSTEM SIDs; EqualSid compares two SIDs by value.
// Which account owns a new file differs between Windows, Wine and the layer:
// only that it is a valid SID is common to all.
#include "workspace.h"

#include <aclapi.h>

#include <cstring>
#include <vector>

namespace {

// A SID in the NT authority (S-1-5-...) with the given sub-authorities, in a
// buffer of its own.
std::vector<DWORD> NtSid(std::initializer_list<DWORD> subAuthorities)
{
    std::vector<DWORD> buffer(2 + subAuthorities.size());
    SID* sid = reinterpret_cast<SID*>(buffer.data());
    sid->Revision = 1;
    sid->SubAuthorityCount = BYTE(subAuthorities.size());
    const BYTE nt[6] = {0, 0, 0, 0, 0, 5};
    std::memcpy(sid->IdentifierAuthority.Value, nt, sizeof nt);
    std::memcpy(buffer.data() + 2, subAuthorities.begin(), subAuthorities.size() * sizeof(DWORD));
    return buffer;
}

PSID AsSid(std::vector<DWORD>& buffer)
{
    return buffer.data();
}

class Security : public qeltest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        MakeFile("a.txt", "data");
        MakeDirectory("folder");
    }

    HANDLE Open(const std::string& relative, DWORD access) const
    {
        return CreateFileA(Path(relative).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    }
};

TEST_F(Security, TheOwnerOfAFileOrFolderIsAValidSidInADescriptorFreedWithLocalFree)
{
    for (const char* name : {"a.txt", "folder"}) {
        SCOPED_TRACE(name);
        for (DWORD access : {DWORD(READ_CONTROL), DWORD(GENERIC_READ)}) {
            HANDLE h = Open(name, access);
            ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
            PSID owner = nullptr;
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            EXPECT_EQ(GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                                      &descriptor),
                      DWORD(ERROR_SUCCESS));
            CloseHandle(h);
            ASSERT_NE(descriptor, nullptr);
            ASSERT_NE(owner, nullptr);
            const SID* sid = static_cast<const SID*>(owner);
            EXPECT_EQ(sid->Revision, 1);
            EXPECT_GE(sid->SubAuthorityCount, 1);
            EXPECT_LE(sid->SubAuthorityCount, 15);
            EXPECT_TRUE(EqualSid(owner, owner));
            EXPECT_EQ(LocalFree(descriptor), nullptr);
        }
    }
}

TEST_F(Security, TheOwnerCannotBeReadThroughAHandleWithoutReadControl)
{
    HANDLE h = Open("a.txt", 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_EQ(
        GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &descriptor),
        DWORD(ERROR_ACCESS_DENIED));
    CloseHandle(h);
    if (descriptor)
        LocalFree(descriptor);
}

TEST(WellKnownSids, AdministratorsAndSystemAreRecognisedAndNothingElse)
{
    struct Case {
        const char* name;
        std::vector<DWORD> sid;
        bool administrators;
        bool system;
    };
    std::vector<Case> cases = {
        {"S-1-5-32-544", NtSid({32, 544}), true, false},
        {"S-1-5-18", NtSid({18}), false, true},
        {"S-1-5-32-545 (Users)", NtSid({32, 545}), false, false},
        {"S-1-5-21-1-2-3-1000", NtSid({21, 1, 2, 3, 1000}), false, false},
        {"S-1-5-19 (Local Service)", NtSid({19}), false, false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsWellKnownSid(AsSid(c.sid), WinBuiltinAdministratorsSid) != FALSE, c.administrators);
        EXPECT_EQ(IsWellKnownSid(AsSid(c.sid), WinLocalSystemSid) != FALSE, c.system);
    }
}

TEST(WellKnownSids, EqualSidComparesByValue)
{
    std::vector<DWORD> trustedInstaller = NtSid({80, 956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478464u});
    std::vector<DWORD> sameValue = trustedInstaller;
    std::vector<DWORD> lastDiffers = NtSid({80, 956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478465u});
    std::vector<DWORD> shorter = NtSid({80, 956008885u, 3418522649u, 1831038044u, 1853292631u});
    EXPECT_TRUE(EqualSid(AsSid(trustedInstaller), AsSid(sameValue)));
    EXPECT_FALSE(EqualSid(AsSid(trustedInstaller), AsSid(lastDiffers)));
    EXPECT_FALSE(EqualSid(AsSid(trustedInstaller), AsSid(shorter)));
}

} // namespace
