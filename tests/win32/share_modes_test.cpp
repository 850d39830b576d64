// Share modes: every pair of (access, share mode) opens of one file against
// the Windows rule, and deletion of an open file.
#include "workspace.h"

namespace {

const DWORD kAccesses[] = {0, GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
const DWORD kDeleteAccess = 0x00010000; // DELETE

// The Windows rule: two opens conflict when one's access is not allowed by the
// other's share mode; an open without read, write or delete access takes part
// in no check.
bool Conflict(DWORD access1, DWORD share1, DWORD access2, DWORD share2)
{
    auto rights = [](DWORD access) {
        DWORD r = 0;
        if (access & GENERIC_READ)
            r |= FILE_SHARE_READ;
        if (access & GENERIC_WRITE)
            r |= FILE_SHARE_WRITE;
        if (access & kDeleteAccess)
            r |= FILE_SHARE_DELETE;
        return r;
    };
    DWORD r1 = rights(access1), r2 = rights(access2);
    if (r1 == 0 || r2 == 0)
        return false;
    return (r2 & ~share1) != 0 || (r1 & ~share2) != 0;
}

HANDLE Open(const std::string& path, DWORD access, DWORD share)
{
    return CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

using ShareModes = qeltest::Workspace;

TEST_F(ShareModes, EveryPairFollowsTheRule)
{
    MakeFile("shared.bin", "content");
    const std::string path = Path("shared.bin");
    int checked = 0;
    for (DWORD access1 : kAccesses) {
        for (DWORD share1 = 0; share1 < 8; ++share1) {
            HANDLE first = Open(path, access1, share1);
            ASSERT_NE(first, INVALID_HANDLE_VALUE) << access1 << "/" << share1 << " error " << GetLastError();
            for (DWORD access2 : kAccesses) {
                for (DWORD share2 = 0; share2 < 8; ++share2) {
                    HANDLE second = Open(path, access2, share2);
                    bool refused = second == INVALID_HANDLE_VALUE;
                    DWORD error = GetLastError();
                    EXPECT_EQ(refused, Conflict(access1, share1, access2, share2))
                        << "first " << std::hex << access1 << "/" << share1 << ", second " << access2 << "/" << share2;
                    if (refused) {
                        EXPECT_EQ(error, DWORD(ERROR_SHARING_VIOLATION));
                    } else {
                        CloseHandle(second);
                    }
                    ++checked;
                }
            }
            ASSERT_TRUE(CloseHandle(first));
        }
    }
    EXPECT_EQ(checked, 32 * 32);
}

TEST_F(ShareModes, ARefusedReplacementLeavesTheFileIntact)
{
    MakeFile("keep.txt", "original");
    HANDLE reader = Open(Path("keep.txt"), GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    for (DWORD disposition : {DWORD(CREATE_ALWAYS), DWORD(TRUNCATE_EXISTING), DWORD(OPEN_ALWAYS)}) {
        HANDLE writer = CreateFileA(Path("keep.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << disposition;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION)) << disposition;
    }
    CloseHandle(reader);
    EXPECT_EQ(ReadAll("keep.txt"), "original");
}

TEST_F(ShareModes, DeletionNeedsDeleteSharingFromEveryOpen)
{
    struct Case {
        DWORD access;
        DWORD share;
        bool deletable;
    } cases[] = {
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
        {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
        {GENERIC_WRITE, FILE_SHARE_WRITE, false},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, true},
        {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string name = "victim" + std::to_string(++n) + ".txt";
        MakeFile(name, "x");
        HANDLE h = Open(Path(name), c.access, c.share);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        BOOL deleted = DeleteFileA(Path(name).c_str());
        DWORD error = GetLastError();
        EXPECT_EQ(deleted != FALSE, c.deletable) << name;
        if (!c.deletable) {
            EXPECT_EQ(error, DWORD(ERROR_SHARING_VIOLATION)) << name;
        }
        CloseHandle(h);
        EXPECT_EQ(Exists(name), !c.deletable) << name << " after the handle closed";
    }
}

TEST_F(ShareModes, ClosingTheHandleLiftsItsRefusal)
{
    MakeFile("f.txt", "x");
    HANDLE exclusive = Open(Path("f.txt"), GENERIC_READ, 0);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(Path("f.txt"), GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(exclusive));
    HANDLE again = Open(Path("f.txt"), GENERIC_READ, FILE_SHARE_READ);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
    // A name that differs in case is the same file to the rule.
    exclusive = Open(Path("F.TXT"), GENERIC_WRITE, 0);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(Path("f.txt"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(exclusive);
}

} // namespace

// A folder held open without delete sharing refuses an open for deletion
// (which a rename or a removal makes) only when its handle asks for data
// access: traversing counts as reading; the attributes alone take part in no
// check.
TEST_F(ShareModes, AFolderHeldForTraversingRefusesDeletionOneHeldForItsAttributesDoesNot)
{
    const struct {
        const char* what;
        DWORD access;
        bool refuses;
    } cases[] = {
        {"traverse", FILE_TRAVERSE | FILE_READ_ATTRIBUTES, true},
        {"attributes", FILE_READ_ATTRIBUTES, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string folder = Path(c.what);
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        HANDLE held = CreateFileA(folder.c_str(), c.access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
        HANDLE remover =
            CreateFileA(folder.c_str(), kDeleteAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        const DWORD error = GetLastError();
        EXPECT_EQ(remover == INVALID_HANDLE_VALUE, c.refuses);
        if (remover == INVALID_HANDLE_VALUE) {
            EXPECT_EQ(error, DWORD(ERROR_SHARING_VIOLATION));
        } else {
            CloseHandle(remover);
        }
        const BOOL removed = RemoveDirectoryA(folder.c_str());
        EXPECT_EQ(removed == FALSE, c.refuses);
        CloseHandle(held);
        if (!removed) {
            EXPECT_TRUE(RemoveDirectoryA(folder.c_str())) << "once let go: " << GetLastError();
        }
    }
}
