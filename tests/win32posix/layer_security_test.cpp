// The layer's owners and links that only Linux can show: host owners as SIDs
// (uid 0 as Administrators, the process's effective uid as SYSTEM, any other
// uid N as S-1-5-21-0-0-0-N), and FILE_FLAG_OPEN_REPARSE_POINT opening a
// symbolic link itself, whose owner is then the link's and not its target's.
// Owners can be given away only by root: those cases skip otherwise.
#include "workspace.h"

#include <aclapi.h>

#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>
#include <vector>

namespace {

constexpr uid_t kOrdinaryUser = 65534; // nobody

class LayerSecurity : public qeltest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        hostRoot_ = getenv("QEL_DRIVES") + 2; // "T=<folder>"
        MakeDirectory("target");
        MakeFile("target\\inside.txt", "keep");
    }

    std::string Host(const std::string& relative) const { return hostRoot_ + "/" + relative; }

    // A link at `relative` to `target` (a host path), owned by `owner`.
    bool PlantLink(const std::string& target, const std::string& relative, uid_t owner) const
    {
        return symlink(target.c_str(), Host(relative).c_str()) == 0 &&
               lchown(Host(relative).c_str(), owner, owner) == 0;
    }

    HANDLE Open(const std::string& relative, DWORD access, DWORD flags, DWORD disposition = OPEN_EXISTING) const
    {
        return CreateFileA(Path(relative).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, disposition, flags, nullptr);
    }

    // The owner's sub-authorities (all SIDs the layer gives are S-1-5-...);
    // empty when it cannot be read.
    static std::vector<DWORD> OwnerOf(HANDLE handle)
    {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        std::vector<DWORD> subAuthorities;
        if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            &descriptor) == ERROR_SUCCESS) {
            const SID* sid = static_cast<const SID*>(owner);
            EXPECT_EQ(sid->IdentifierAuthority.Value[5], 5);
            subAuthorities.assign(sid->SubAuthority, sid->SubAuthority + sid->SubAuthorityCount);
            LocalFree(descriptor);
        }
        return subAuthorities;
    }

    std::vector<DWORD> OwnerOf(const std::string& relative, DWORD flags) const
    {
        HANDLE h = Open(relative, READ_CONTROL, flags);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << relative << " error " << GetLastError();
        if (h == INVALID_HANDLE_VALUE)
            return {};
        std::vector<DWORD> owner = OwnerOf(h);
        CloseHandle(h);
        return owner;
    }

    std::string hostRoot_;
};

const std::vector<DWORD> kAdministrators = {32, 544};
const std::vector<DWORD> kSystem = {18};

TEST_F(LayerSecurity, HostOwnersAreAdministratorsSystemOrAUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "owners can be given away only by root";
    MakeFile("user.txt");
    ASSERT_EQ(chown(Host("user.txt").c_str(), kOrdinaryUser, kOrdinaryUser), 0);
    EXPECT_EQ(OwnerOf("target\\inside.txt", 0), kAdministrators);
    EXPECT_EQ(OwnerOf("user.txt", 0), (std::vector<DWORD>{21, 0, 0, 0, kOrdinaryUser}));

    // Run as that user, the same file is the service account's: SYSTEM.
    HANDLE h = Open("user.txt", READ_CONTROL, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(seteuid(kOrdinaryUser), 0);
    const std::vector<DWORD> asService = OwnerOf(h);
    ASSERT_EQ(seteuid(0), 0);
    CloseHandle(h);
    EXPECT_EQ(asService, kSystem);
}

TEST_F(LayerSecurity, OpenReparsePointOpensTheLinkItselfWithItsOwnOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "owners can be given away only by root";
    ASSERT_TRUE(PlantLink(Host("target"), "dirlink", kOrdinaryUser));
    ASSERT_TRUE(PlantLink(Host("target/inside.txt"), "filelink", kOrdinaryUser));
    ASSERT_TRUE(PlantLink(Host("nowhere"), "dangling", kOrdinaryUser));
    const std::vector<DWORD> user = {21, 0, 0, 0, kOrdinaryUser};

    EXPECT_EQ(OwnerOf("dirlink", FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS), user);
    EXPECT_EQ(OwnerOf("dirlink", FILE_FLAG_BACKUP_SEMANTICS), kAdministrators); // the target
    EXPECT_EQ(OwnerOf("filelink", FILE_FLAG_OPEN_REPARSE_POINT), user);
    EXPECT_EQ(OwnerOf("filelink", 0), kAdministrators);
    EXPECT_EQ(OwnerOf("dangling", FILE_FLAG_OPEN_REPARSE_POINT), user);
    // An entry that is no link opens as always with the flag.
    EXPECT_EQ(OwnerOf("target", FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS), kAdministrators);
}

TEST_F(LayerSecurity, ALinkOpenedItselfIsAReparsePointWithAnIdentityOfItsOwn)
{
    ASSERT_EQ(symlink(Host("target").c_str(), Host("dirlink").c_str()), 0);
    BY_HANDLE_FILE_INFORMATION link{};
    BY_HANDLE_FILE_INFORMATION target{};
    HANDLE h = Open("dirlink", 0, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(GetFileInformationByHandle(h, &link));
    CloseHandle(h);
    h = Open("dirlink", 0, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(GetFileInformationByHandle(h, &target));
    CloseHandle(h);
    EXPECT_EQ(link.dwFileAttributes, DWORD(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(qeltest::KeptAttributes(target.dwFileAttributes), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_NE(link.nFileIndexLow, target.nFileIndexLow);
}

TEST_F(LayerSecurity, ALinkOpenedItselfGivesNeitherItsDataNorItsPlace)
{
    ASSERT_EQ(symlink(Host("target").c_str(), Host("dirlink").c_str()), 0);
    ASSERT_EQ(symlink(Host("target/inside.txt").c_str(), Host("filelink").c_str()), 0);
    const DWORD link = FILE_FLAG_OPEN_REPARSE_POINT;
    const struct {
        const char* name;
        DWORD access;
        DWORD flags;
        DWORD disposition;
        DWORD error;
    } cases[] = {
        {"dirlink", READ_CONTROL, link, OPEN_EXISTING, ERROR_ACCESS_DENIED}, // a folder: backup semantics
        {"filelink", GENERIC_READ, link, OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {"filelink", GENERIC_WRITE, link, OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {"filelink", READ_CONTROL, link, CREATE_ALWAYS, ERROR_ACCESS_DENIED},
        {"filelink", READ_CONTROL, link, CREATE_NEW, ERROR_FILE_EXISTS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE h = Open(c.name, c.access, c.flags, c.disposition);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    EXPECT_EQ(ReadAll("target\\inside.txt"), "keep");
}

TEST_F(LayerSecurity, OnlyTheOwnerIsReportedAndOnlyThroughAnOpenHandle)
{
    HANDLE h = Open("target\\inside.txt", GENERIC_READ, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    PSID sid = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_EQ(GetSecurityInfo(h, SE_FILE_OBJECT, 2 /* GROUP_SECURITY_INFORMATION */, nullptr, &sid, nullptr, nullptr,
                              &descriptor),
              DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr, nullptr, nullptr, nullptr),
              DWORD(ERROR_INVALID_PARAMETER));
    CloseHandle(h);
    EXPECT_EQ(
        GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr, nullptr, nullptr, &descriptor),
        DWORD(ERROR_INVALID_HANDLE));
}

} // namespace
