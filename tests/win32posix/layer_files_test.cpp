// The layer's file-system behaviour that only Linux can show: symbolic links,
// the drive map from the environment, host-absolute and relative paths, the
// unbuffered alignment rule, where attributes are kept, and the root user.
#include "environment.h"
#include "resolve.h"
#include "workspace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace {

class LayerFiles : public qeltest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        hostRoot_ = win32posix::FindDrive('T')->hostRoot;
    }
    // The host folder behind drive T.
    std::string Host(const std::string& relative = "") const
    {
        return relative.empty() ? hostRoot_ : hostRoot_ + "/" + relative;
    }
    std::string hostRoot_;
    void WriteHostFile(const std::string& relative, const std::string& content)
    {
        std::ofstream(Host(relative), std::ios::binary) << content;
    }
};

TEST_F(LayerFiles, SymbolicLinksAreReparsePointsNeverFollowedByQueries)
{
    MakeDirectory("target");
    MakeFile("target\\inside.txt", "keep");
    MakeFile("file.txt", "data");
    ASSERT_EQ(symlink(Host("target").c_str(), Host("dirlink").c_str()), 0);
    ASSERT_EQ(symlink(Host("file.txt").c_str(), Host("filelink").c_str()), 0);
    ASSERT_EQ(symlink(Host("nowhere").c_str(), Host("dangling").c_str()), 0);

    EXPECT_EQ(GetFileAttributesA(Path("dirlink").c_str()),
              DWORD(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesA(Path("filelink").c_str()), DWORD(FILE_ATTRIBUTE_REPARSE_POINT));
    EXPECT_EQ(GetFileAttributesA(Path("dangling").c_str()), DWORD(FILE_ATTRIBUTE_REPARSE_POINT));

    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(Path("DIRLINK").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "dirlink");
    EXPECT_EQ(data.dwFileAttributes, DWORD(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(data.dwReserved0, 0xA000000Cu);
    FindClose(find);

    // CreateFileA follows links, as Windows does; a folder link is a folder on the way.
    EXPECT_EQ(ReadAll("filelink"), "data");
    EXPECT_EQ(ReadAll("dirlink\\inside.txt"), "keep");

    // DeleteFileA deletes a file link itself; a folder link is for RemoveDirectoryA.
    EXPECT_TRUE(DeleteFileA(Path("filelink").c_str()));
    EXPECT_EQ(ReadAll("file.txt"), "data");
    EXPECT_FALSE(DeleteFileA(Path("dirlink").c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileA(Path("dangling").c_str()));

    // RemoveDirectoryA removes the folder link itself, never the target's content,
    // even though the target is not empty.
    EXPECT_TRUE(RemoveDirectoryA(Path("dirlink").c_str()));
    EXPECT_EQ(ReadAll("target\\inside.txt"), "keep");
    ASSERT_EQ(symlink(Host("file.txt").c_str(), Host("filelink2").c_str()), 0);
    EXPECT_FALSE(RemoveDirectoryA(Path("filelink2").c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DIRECTORY));
}

TEST_F(LayerFiles, CopyThroughALinkOntoItsTargetIsRefused)
{
    MakeFile("file.txt", "data");
    ASSERT_EQ(symlink(Host("file.txt").c_str(), Host("link.txt").c_str()), 0);
    EXPECT_FALSE(CopyFileA(Path("file.txt").c_str(), Path("link.txt").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(CopyFileA(Path("link.txt").c_str(), Path("file.txt").c_str(), FALSE));
    EXPECT_EQ(ReadAll("file.txt"), "data");
}

TEST_F(LayerFiles, FolderListingReportsLinksWithoutFollowingThem)
{
    MakeDirectory("d");
    MakeDirectory("d\\real");
    MakeFile("d\\real\\x.txt", "x");
    ASSERT_EQ(symlink(Host("d/real").c_str(), Host("d/link").c_str()), 0);
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(Path("d\\*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    int links = 0;
    do {
        if (std::string(data.cFileName) == "link") {
            EXPECT_EQ(data.dwFileAttributes, DWORD(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
            ++links;
        }
    } while (FindNextFileA(find, &data));
    FindClose(find);
    EXPECT_EQ(links, 1);
}

TEST_F(LayerFiles, DriveMapFollowsTheEnvironment)
{
    char other[] = "/tmp/qelw-other-XXXXXX";
    ASSERT_NE(mkdtemp(other), nullptr);
    std::ofstream(std::string(other) + "/only-on-u.txt") << "u";
    const std::string both = "T=" + Host() + ";u=" + std::string(other) + ",removable";
    ASSERT_EQ(setenv("QEL_DRIVES", both.c_str(), 1), 0);
    EXPECT_EQ(GetFileAttributesA("U:\\only-on-u.txt") & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(win32posix::FindDrive('u')->type, UINT(DRIVE_REMOVABLE));

    ASSERT_EQ(setenv("QEL_DRIVES", ("T=" + Host()).c_str(), 1), 0);
    EXPECT_EQ(GetFileAttributesA("U:\\only-on-u.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND)) << "an unmapped drive";

    // A bad entry maps no drive at all.
    ASSERT_EQ(setenv("QEL_DRIVES", (both + ";V").c_str(), 1), 0);
    EXPECT_EQ(GetFileAttributesA("U:\\only-on-u.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA(root.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));

    ASSERT_EQ(setenv("QEL_DRIVES", ("T=" + Host()).c_str(), 1), 0);
    EXPECT_EQ(GetFileAttributesA(root.c_str()), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    unlink((std::string(other) + "/only-on-u.txt").c_str());
    rmdir(other);

    // A mapped drive whose folder is gone finds nothing.
    ASSERT_EQ(setenv("QEL_DRIVES", ("T=" + Host() + ";W=/nonexistent/qel-w").c_str(), 1), 0);
    EXPECT_EQ(GetFileAttributesA("W:\\x"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}

TEST_F(LayerFiles, HostAbsoluteAndRelativePaths)
{
    MakeDirectory("Sub");
    MakeFile("Sub\\f.txt", "content");
    std::string windowsHost; // "\tmp\qelw-XXXXXX"
    for (char c : Host())
        windowsHost += c == '/' ? '\\' : c;
    EXPECT_EQ(ReadAll("..\\..\\Sub\\f.txt"), "content") << "'..' never leaves the drive";

    HANDLE h = CreateFileA((windowsHost + "\\SUB\\f.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << windowsHost;
    CloseHandle(h);

    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(Host("Sub").c_str()), 0);
    EXPECT_NE(GetFileAttributesA("F.TXT"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesA("..\\sub\\f.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesA(".\\f.txt"), INVALID_FILE_ATTRIBUTES);
    ASSERT_EQ(chdir(saved), 0);

    EXPECT_EQ(win32posix::WindowsPathFromHost(Host("Sub/f.txt")), "T:\\Sub\\f.txt");
    EXPECT_EQ(win32posix::WindowsPathFromHost(Host()), "T:\\");
    EXPECT_EQ(win32posix::WindowsPathFromHost("/nonexistent/qel/x"), "\\nonexistent\\qel\\x");
}

TEST_F(LayerFiles, DriveRootIsNotAnEntryAndDotsAreNotListedThere)
{
    MakeFile("top.txt", "x");
    WIN32_FIND_DATAA data;
    EXPECT_EQ(FindFirstFileA("T:", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileA("t:\\", &data), INVALID_HANDLE_VALUE);
    HANDLE find = FindFirstFileA("T:\\*.*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "top.txt") << "no . or .. in a drive root";
    EXPECT_FALSE(FindNextFileA(find, &data));
    FindClose(find);
    EXPECT_FALSE(RemoveDirectoryA("T:\\"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(LayerFiles, FindListsInCaseInsensitiveOrder)
{
    MakeDirectory("s");
    for (const char* name : {"b.txt", "C.txt", "a.txt", "D.txt"})
        MakeFile(std::string("s\\") + name, "");
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(Path("s\\*.txt").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::string order;
    do
        order += data.cFileName[0];
    while (FindNextFileA(find, &data));
    FindClose(find);
    EXPECT_EQ(order, "abCD");
}

TEST_F(LayerFiles, FindLooksInTheFolderThatOpeningNames)
{
    // "a..\\x" names "x" in the folder "a." (one dot that ends a folder name
    // goes); a search below "a.." lists that same folder, not "a".
    ASSERT_EQ(mkdir(Host("a.").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Host("a").c_str(), 0755), 0);
    WriteHostFile("a./inside.txt", "in a.");
    WriteHostFile("a/other.txt", "in a");
    EXPECT_EQ(ReadAll("a..\\inside.txt"), "in a.");

    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(Path("a..\\*.txt").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "inside.txt");
    EXPECT_FALSE(FindNextFileA(find, &data));
    FindClose(find);
}

TEST_F(LayerFiles, UnbufferedTransfersMustBeSectorAligned)
{
    char* buffer = static_cast<char*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(buffer, nullptr);
    HANDLE h = CreateFileA(Path("nb.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_FLAG_NO_BUFFERING, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(h, buffer, 100, &n, nullptr)) << "length";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WriteFile(h, buffer + 1, 512, &n, nullptr)) << "address";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(WriteFile(h, buffer, 4096, &n, nullptr)) << GetLastError();
    EXPECT_EQ(SetFilePointer(h, 10, nullptr, FILE_BEGIN), 10u);
    EXPECT_FALSE(ReadFile(h, buffer, 512, &n, nullptr)) << "offset";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetFilePointer(h, 512, nullptr, FILE_BEGIN), 512u);
    EXPECT_TRUE(ReadFile(h, buffer, 512, &n, nullptr));
    EXPECT_EQ(n, 512u);
    CloseHandle(h);
    VirtualFree(buffer, 0, MEM_RELEASE);
}

TEST_F(LayerFiles, AttributesLiveInModeBitsAndAnExtendedAttribute)
{
    MakeFile("a.txt", "x");
    EXPECT_EQ(GetFileAttributesA(Path("a.txt").c_str()), DWORD(FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(SetFileAttributesA(Path("a.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    struct stat st;
    ASSERT_EQ(stat(Host("a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only takes every write bit";
    char text[32] = {};
    ssize_t length = getxattr(Host("a.txt").c_str(), "user.DOSATTRIB", text, sizeof text - 1);
    ASSERT_GT(length, 0);
    EXPECT_STREQ(text, "0x2");
    ASSERT_TRUE(SetFileAttributesA(Path("a.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_EQ(stat(Host("a.txt").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    EXPECT_LT(getxattr(Host("a.txt").c_str(), "user.DOSATTRIB", text, sizeof text), 0) << "removed when no bit is left";

    // A file made read-only on the host is read-only to Windows callers, also for root.
    WriteHostFile("host-ro.txt", "h");
    ASSERT_EQ(chmod(Host("host-ro.txt").c_str(), 0444), 0);
    EXPECT_EQ(GetFileAttributesA(Path("host-ro.txt").c_str()), DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(DeleteFileA(Path("host-ro.txt").c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    HANDLE h = CreateFileA(Path("host-ro.txt").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(LayerFiles, LastWriteTimeKeepsTheHostNanosecondsDownTo100)
{
    WriteHostFile("ns.txt", "x");
    const timespec times[2] = {{1600000000, 123456789}, {1600000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, Host("ns.txt").c_str(), times, 0), 0);
    HANDLE h = CreateFileA(Path("ns.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME access{}, write{};
    ASSERT_TRUE(GetFileTime(h, nullptr, &access, &write));
    CloseHandle(h);
    const uint64_t base = 116444736000000000ull + 1600000000ull * 10000000ull;
    EXPECT_EQ((uint64_t(write.dwHighDateTime) << 32) | write.dwLowDateTime, base + 9876543);
    EXPECT_EQ((uint64_t(access.dwHighDateTime) << 32) | access.dwLowDateTime, base + 1234567);
}

TEST_F(LayerFiles, ResolutionTellsWhatExists)
{
    MakeDirectory("Dir");
    win32posix::ResolvedPath resolved;
    ASSERT_EQ(win32posix::ResolvePath(Path("dir\\new.txt"), resolved), DWORD(ERROR_SUCCESS));
    EXPECT_FALSE(resolved.exists);
    EXPECT_EQ(resolved.host, Host("Dir/new.txt"));
    ASSERT_EQ(win32posix::ResolvePath(Path("DIR"), resolved), DWORD(ERROR_SUCCESS));
    EXPECT_TRUE(resolved.exists);
    EXPECT_EQ(resolved.lastName, "Dir");
    EXPECT_EQ(win32posix::ResolveExisting(Path("dir\\new.txt"), resolved), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(win32posix::ResolvePath(Path("nodir\\new.txt"), resolved), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(win32posix::ResolvePath("Q:\\x", resolved), DWORD(ERROR_PATH_NOT_FOUND));
}

} // namespace
