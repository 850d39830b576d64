// Drives as the disk info and delete game tasks see them: the logical drive
// strings, the system drive from the Windows directory, its type and its
// space, and the buffer contracts of these calls.
#include "workspace.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <stdlib.h>
#endif

namespace {

// The workspace's drive is the system drive: on Windows and Wine the work
// folder lies on C:; on Linux the workspace's drive T is made the system drive.
class Volumes : public qeltest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
#ifndef _WIN32
        setenv("QEL_SYSTEM_DRIVE", root.substr(0, 1).c_str(), 1);
#endif
    }
    void TearDown() override
    {
#ifndef _WIN32
        unsetenv("QEL_SYSTEM_DRIVE");
#endif
        Workspace::TearDown();
    }

    std::vector<std::string> DriveStrings()
    {
        const DWORD needed = GetLogicalDriveStringsA(0, nullptr);
        std::vector<char> buffer(needed + 1, 'Z');
        const DWORD length = GetLogicalDriveStringsA(needed, buffer.data());
        EXPECT_EQ(length + 1, needed);
        EXPECT_EQ(buffer[length], '\0');
        std::vector<std::string> roots;
        for (const char* p = buffer.data(); *p != '\0'; p += strlen(p) + 1)
            roots.push_back(p);
        return roots;
    }
};

TEST_F(Volumes, WindowsDirectoryIsOnTheWorkspaceDrive)
{
    char buffer[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(buffer, sizeof buffer);
    ASSERT_EQ(length, strlen(buffer));
    ASSERT_EQ(length, 10u);
    EXPECT_EQ(toupper(buffer[0]), toupper(root[0]));
    EXPECT_EQ(std::string(buffer + 1, 2), ":\\");
    std::string name = buffer + 3;
    for (char& c : name)
        c = char(tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(name, "windows");
}

TEST_F(Volumes, WindowsDirectoryBufferContract)
{
    char buffer[32];
    for (UINT size : {0u, 1u, 5u, 10u}) {
        memset(buffer, 'Z', sizeof buffer);
        EXPECT_EQ(GetWindowsDirectoryA(buffer, size), 11u) << size; // the size needed, terminator included
        EXPECT_EQ(buffer[0], 'Z') << size;
    }
    EXPECT_EQ(GetWindowsDirectoryA(nullptr, 0), 11u);
    EXPECT_EQ(GetWindowsDirectoryA(buffer, 11), 10u);
    EXPECT_EQ(buffer[10], '\0');
}

TEST_F(Volumes, SystemDriveIsAFixedDiskInEitherCase)
{
    char windows[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryA(windows, sizeof windows), 0u);
    const std::string upper = {char(toupper(windows[0])), ':', '\\'};
    const std::string lower = {char(tolower(windows[0])), ':', '\\'};
    EXPECT_EQ(GetDriveTypeA(upper.c_str()), UINT(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA(lower.c_str()), UINT(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA(upper.substr(0, 2).c_str()), UINT(DRIVE_FIXED)); // "C:"
    MakeDirectory("sub");
    EXPECT_EQ(GetDriveTypeA(Path("sub\\").c_str()), UINT(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA(Path("missing\\").c_str()), UINT(DRIVE_NO_ROOT_DIR));
}

TEST_F(Volumes, DriveStringsListTheSystemDriveInOrder)
{
    const std::vector<std::string> roots = DriveStrings();
    ASSERT_FALSE(roots.empty());
    bool systemListed = false;
    for (size_t i = 0; i < roots.size(); ++i) {
        ASSERT_EQ(roots[i].size(), 3u) << roots[i];
        EXPECT_TRUE(isupper(static_cast<unsigned char>(roots[i][0]))) << roots[i];
        EXPECT_EQ(roots[i].substr(1), ":\\");
        if (i > 0) {
            EXPECT_LT(roots[i - 1][0], roots[i][0]);
        }
        systemListed = systemListed || roots[i][0] == toupper(root[0]);
    }
    EXPECT_TRUE(systemListed);
}

TEST_F(Volumes, DriveStringsTooSmallWriteNothing)
{
    const DWORD needed = GetLogicalDriveStringsA(0, nullptr);
    ASSERT_GE(needed, 5u);
    std::vector<char> buffer(needed + 1, 'Z');
    for (DWORD size : {DWORD(0), DWORD(3), needed - 1}) {
        EXPECT_EQ(GetLogicalDriveStringsA(size, buffer.data()), needed) << size;
        EXPECT_EQ(buffer[0], 'Z') << size;
    }
}

TEST_F(Volumes, FreeSpaceOfAnyFolderOfTheDrive)
{
    MakeDirectory("sub");
    ULARGE_INTEGER available{}, total{}, free{};
    ASSERT_TRUE(GetDiskFreeSpaceExA(root.substr(0, 3).c_str(), &available, &total, &free)) << GetLastError();
    EXPECT_GT(total.QuadPart, 0u);
    EXPECT_LE(free.QuadPart, total.QuadPart);
    EXPECT_LE(available.QuadPart, free.QuadPart);

    ULARGE_INTEGER subTotal{}, subFree{};
    ASSERT_TRUE(GetDiskFreeSpaceExA(Path("sub\\").c_str(), nullptr, &subTotal, &subFree)) << GetLastError();
    ASSERT_TRUE(GetDiskFreeSpaceExA(Path("sub").c_str(), nullptr, nullptr, &subFree)) << GetLastError();
    EXPECT_EQ(subTotal.QuadPart, total.QuadPart);

    MakeFile("file.txt", "x");
    SetLastError(0);
    EXPECT_FALSE(GetDiskFreeSpaceExA(Path("file.txt").c_str(), nullptr, &subTotal, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DIRECTORY));
    EXPECT_FALSE(GetDiskFreeSpaceExA(Path("missing\\").c_str(), nullptr, &subTotal, nullptr));
}

// Without disk quotas (a test machine has none) the volume's free bytes and
// the bytes free to the caller are one figure: the space a program can use.
TEST_F(Volumes, FreeBytesAreTheBytesFreeToTheCallerWithoutQuotas)
{
    ULARGE_INTEGER available{}, total{}, free{};
    ASSERT_TRUE(GetDiskFreeSpaceExA(root.substr(0, 3).c_str(), &available, &total, &free)) << GetLastError();
    EXPECT_EQ(free.QuadPart, available.QuadPart);
}

} // namespace
