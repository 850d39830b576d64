// Drives from QEL_DRIVES and the system drive from QEL_SYSTEM_DRIVE: the
// drive strings, types and sizes a program sees, compared with the host's
// own view of the mapped folders.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class DriveEnvironment : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qel-drives-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base_ = pattern;
        fs::create_directories(base_ + "/c/sub");
        fs::create_directories(base_ + "/d");
        Set("QEL_DRIVES", "C=" + base_ + "/c;D=" + base_ + "/d,cdrom");
        unsetenv("QEL_SYSTEM_DRIVE");
    }
    void TearDown() override
    {
        unsetenv("QEL_DRIVES");
        unsetenv("QEL_SYSTEM_DRIVE");
        fs::remove_all(base_);
    }
    static void Set(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

    std::string base_;
};

TEST_F(DriveEnvironment, DriveStringsInLetterOrder)
{
    Set("QEL_DRIVES", "d=" + base_ + "/d,cdrom;C=" + base_ + "/c"); // order and case of the variable don't matter
    EXPECT_EQ(GetLogicalDriveStringsA(0, nullptr), 9u);
    char buffer[16];
    memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(GetLogicalDriveStringsA(9, buffer), 8u);
    EXPECT_EQ(std::string(buffer, 10), std::string("C:\\\0D:\\\0\0Z", 10));
    memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(GetLogicalDriveStringsA(8, buffer), 9u);
    EXPECT_EQ(buffer[0], 'Z');
}

TEST_F(DriveEnvironment, NoDrivesGiveAnEmptyList)
{
    Set("QEL_DRIVES", "");
    char buffer[4] = {'Z', 'Z', 'Z', 'Z'};
    EXPECT_EQ(GetLogicalDriveStringsA(0, nullptr), 1u);
    EXPECT_EQ(GetLogicalDriveStringsA(1, buffer), 0u);
    EXPECT_EQ(buffer[0], '\0');
}

TEST_F(DriveEnvironment, TypesFromTheTable)
{
    struct Case {
        const char* root;
        UINT type;
    } cases[] = {
        {"C:\\", DRIVE_FIXED},      {"c:\\", DRIVE_FIXED},
        {"D:\\", DRIVE_CDROM},      {"d:\\", DRIVE_CDROM},
        {"d:", DRIVE_CDROM},        {"E:\\", DRIVE_NO_ROOT_DIR},
        {"C:\\SUB\\", DRIVE_FIXED}, {"C:\\nothing\\", DRIVE_NO_ROOT_DIR},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GetDriveTypeA(c.root), c.type) << c.root;

    Set("QEL_DRIVES",
        "R=" + base_ + "/c,removable;S=" + base_ + "/c,remote;X=" + base_ + "/d,ramdisk;Y=" + base_ + "/d,fixed");
    EXPECT_EQ(GetDriveTypeA("R:\\"), UINT(DRIVE_REMOVABLE));
    EXPECT_EQ(GetDriveTypeA("S:\\"), UINT(DRIVE_REMOTE));
    EXPECT_EQ(GetDriveTypeA("X:\\"), UINT(DRIVE_RAMDISK));
    EXPECT_EQ(GetDriveTypeA("Y:\\"), UINT(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA("C:\\"), UINT(DRIVE_NO_ROOT_DIR));
}

TEST_F(DriveEnvironment, NullMeansTheCurrentFolder)
{
    const auto previous = fs::current_path();
    fs::current_path(base_ + "/d");
    EXPECT_EQ(GetDriveTypeA(nullptr), UINT(DRIVE_CDROM));
    ULARGE_INTEGER total{};
    EXPECT_TRUE(GetDiskFreeSpaceExA(nullptr, nullptr, &total, nullptr)) << GetLastError();
    EXPECT_GT(total.QuadPart, 0u);
    fs::current_path(base_ + "/c/sub");
    EXPECT_EQ(GetDriveTypeA(nullptr), UINT(DRIVE_FIXED));
    fs::current_path(previous);
}

TEST_F(DriveEnvironment, SizesAreThoseOfTheMappedFolder)
{
    struct statvfs host;
    ASSERT_EQ(statvfs((base_ + "/c").c_str(), &host), 0);
    const ULONGLONG unit = host.f_frsize;
    for (const char* path : {"C:\\", "c:\\sub\\", "C:\\Sub"}) {
        ULARGE_INTEGER available{}, total{}, free{};
        ASSERT_TRUE(GetDiskFreeSpaceExA(path, &available, &total, &free)) << path << " " << GetLastError();
        EXPECT_EQ(total.QuadPart, host.f_blocks * unit) << path;
        // Free space moves with other programs' writes; allow a little drift.
        const auto near = [](ULONGLONG a, ULONGLONG b) { return (a > b ? a - b : b - a) <= (64ull << 20); };
        // The superuser's reserved blocks are not free space to a program.
        EXPECT_TRUE(near(free.QuadPart, host.f_bavail * unit)) << path;
        EXPECT_TRUE(near(available.QuadPart, host.f_bavail * unit)) << path;
    }
    SetLastError(0);
    ULARGE_INTEGER total{};
    EXPECT_FALSE(GetDiskFreeSpaceExA("E:\\", nullptr, &total, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}

TEST_F(DriveEnvironment, WindowsDirectoryOnTheSystemDrive)
{
    char buffer[MAX_PATH];
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof buffer), 10u);
    EXPECT_STREQ(buffer, "C:\\Windows");
    Set("QEL_SYSTEM_DRIVE", "d");
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof buffer), 10u);
    EXPECT_STREQ(buffer, "D:\\Windows");
}

} // namespace
