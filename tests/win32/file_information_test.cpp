// GetFileInformationByHandle: one identity (volume serial number and file
// index) for every handle of one entry, whatever name opened it, and another
// for every other entry; the attributes, size, times and link count agree
// with the other calls.
#include "workspace.h"

#include <cstdint>

namespace {

class FileInformation : public qeltest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        MakeDirectory("d");
        MakeDirectory("d\\sub");
        MakeFile("d\\a.bin", "twelve bytes");
        MakeFile("d\\b.bin", "twelve bytes");
    }

    // Opens a file, or a directory (backup semantics), with no access at all.
    HANDLE Open(const std::string& relative) const
    {
        return CreateFileA(Path(relative).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    }

    BY_HANDLE_FILE_INFORMATION Info(const std::string& relative) const
    {
        BY_HANDLE_FILE_INFORMATION info{};
        HANDLE h = Open(relative);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << relative << " error " << GetLastError();
        if (h == INVALID_HANDLE_VALUE)
            return info;
        EXPECT_TRUE(GetFileInformationByHandle(h, &info)) << relative << " error " << GetLastError();
        CloseHandle(h);
        return info;
    }

    static uint64_t Identity(const BY_HANDLE_FILE_INFORMATION& info)
    {
        return (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }

    static bool SameEntry(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
    {
        return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && Identity(a) == Identity(b);
    }
};

TEST_F(FileInformation, OneIdentityPerEntryWhateverTheName)
{
    const BY_HANDLE_FILE_INFORMATION file = Info("d\\a.bin");
    for (const char* name : {"D\\A.BIN", "d\\\\a.bin", "d\\sub\\..\\a.bin"}) {
        EXPECT_TRUE(SameEntry(file, Info(name))) << name;
    }
    EXPECT_FALSE(SameEntry(file, Info("d\\b.bin")));

    const BY_HANDLE_FILE_INFORMATION directory = Info("d\\sub");
    for (const char* name : {"d\\sub\\", "D\\SUB", "d\\sub\\..\\sub\\"}) {
        EXPECT_TRUE(SameEntry(directory, Info(name))) << name;
    }
    EXPECT_FALSE(SameEntry(directory, Info("d")));
    EXPECT_FALSE(SameEntry(directory, file));
}

TEST_F(FileInformation, AgreesWithTheOtherCalls)
{
    ASSERT_TRUE(SetFileAttributesA(Path("d\\b.bin").c_str(), FILE_ATTRIBUTE_HIDDEN));
    HANDLE h = CreateFileA(Path("d\\b.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    BY_HANDLE_FILE_INFORMATION info{};
    ASSERT_TRUE(GetFileInformationByHandle(h, &info)) << GetLastError();
    FILETIME lastWrite{};
    ASSERT_TRUE(GetFileTime(h, nullptr, nullptr, &lastWrite));
    CloseHandle(h);

    EXPECT_EQ(qeltest::KeptAttributes(info.dwFileAttributes), DWORD(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(info.nFileSizeHigh, 0u);
    EXPECT_EQ(info.nFileSizeLow, 12u);
    EXPECT_EQ(info.nNumberOfLinks, 1u);
    EXPECT_EQ(info.ftLastWriteTime.dwLowDateTime, lastWrite.dwLowDateTime);
    EXPECT_EQ(info.ftLastWriteTime.dwHighDateTime, lastWrite.dwHighDateTime);

    EXPECT_EQ(qeltest::KeptAttributes(Info("d\\sub").dwFileAttributes), DWORD(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(FileInformation, RefusesWhatIsNoOpenFile)
{
    BY_HANDLE_FILE_INFORMATION info{};
    EXPECT_FALSE(GetFileInformationByHandle(INVALID_HANDLE_VALUE, &info));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

} // namespace
