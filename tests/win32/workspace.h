// A fresh Windows-style work folder for each conformance test.
//
// On Linux (through the layer) a drive letter, T, is mapped onto a new
// temporary host folder by setting QEL_DRIVES before the test's first Win32
// call; on Windows and under Wine a new folder under C:\ is used. Tests only
// see the Windows path (e.g. "T:\" or "C:\qelw-1234-5\") and use Win32 calls
// alone.
#ifndef QEL_TESTS_WIN32_WORKSPACE_H
#define QEL_TESTS_WIN32_WORKSPACE_H

#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <stdlib.h>
#include <unistd.h>
#endif

namespace qeltest {

// Removes a tree with Win32 calls, clearing read-only attributes on the way.
inline void RemoveTree(const std::string& dir)
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + "*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string path = dir + name;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                RemoveTree(path + "\\");
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (!DeleteFileA(path.c_str()))
                    RemoveDirectoryA(path.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    SetFileAttributesA(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA(dir.c_str());
}

// True under Wine, whose deviations from Windows some tests note and allow.
inline bool RunningUnderWine()
{
#ifdef _WIN32
    HMODULE ntdll = LoadLibraryA("ntdll.dll");
    bool wine = ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    if (ntdll)
        FreeLibrary(ntdll);
    return wine;
#else
    return false;
#endif
}

// The attribute bits that Windows, Wine and the layer all keep the same way:
// ARCHIVE (which Windows and Wine set on written files and the layer never
// reports) and NORMAL (reported when no other bit is set) are left out.
inline DWORD KeptAttributes(DWORD attributes)
{
    return attributes &
           (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY);
}

// Base fixture: `root` is an empty folder, ending with a backslash.
class Workspace : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef _WIN32
        static int counter = 0;
        root = "C:\\qelw-" + std::to_string(_getpid()) + "-" + std::to_string(++counter) + "\\";
        RemoveTree(root);
        ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr)) << GetLastError();
#else
        char pattern[] = "/tmp/qelw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        hostFolder_ = pattern;
        ASSERT_EQ(setenv("QEL_DRIVES", ("T=" + hostFolder_).c_str(), 1), 0);
        root = "T:\\";
#endif
    }

    void TearDown() override
    {
        RemoveTree(root);
#ifndef _WIN32
        rmdir(hostFolder_.c_str()); // the drive root itself
#endif
    }

    // root + relative path.
    std::string Path(const std::string& relative) const
    {
        return root + relative;
    }

    // The names FindFirstFileA/FindNextFileA give for a pattern, "." and ".." left out.
    std::set<std::string> List(const std::string& pattern) const
    {
        std::set<std::string> names;
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA(Path(pattern).c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            return names;
        do {
            std::string name = data.cFileName;
            if (name != "." && name != "..")
                names.insert(name);
        } while (FindNextFileA(find, &data));
        FindClose(find);
        return names;
    }

    // GetFileAttributesA's error for a path (0 when it succeeds).
    DWORD AttributesError(const std::string& relative) const
    {
        SetLastError(0);
        if (GetFileAttributesA(Path(relative).c_str()) != INVALID_FILE_ATTRIBUTES)
            return 0;
        return GetLastError();
    }

    // Creates (or replaces) a file with the given content.
    void MakeFile(const std::string& relative, const std::string& content = "")
    {
        HANDLE h = CreateFileA(Path(relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << relative << " error " << GetLastError();
        DWORD written = 0;
        if (!content.empty()) {
            ASSERT_TRUE(WriteFile(h, content.data(), DWORD(content.size()), &written, nullptr));
            ASSERT_EQ(written, content.size());
        }
        ASSERT_TRUE(CloseHandle(h));
    }

    void MakeDirectory(const std::string& relative)
    {
        ASSERT_TRUE(CreateDirectoryA(Path(relative).c_str(), nullptr)) << relative << " error " << GetLastError();
    }

    // The whole content of a file, or "<error N>".
    std::string ReadAll(const std::string& relative) const
    {
        HANDLE h = CreateFileA(Path(relative).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return "<error " + std::to_string(GetLastError()) + ">";
        std::string content;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0)
            content.append(buffer, got);
        CloseHandle(h);
        return content;
    }

    // Wine leaves the read-only attribute of files to the host's permission
    // bits, which root bypasses: under Wine run as root a read-only file opens
    // for writing, where Windows (and the layer, also for root) refuses it.
    // Tests of that refusal skip themselves when this probe finds it missing.
    bool WineWritesReadOnlyFiles()
    {
        if (!RunningUnderWine())
            return false;
        MakeFile("wine-ro-probe", "");
        SetFileAttributesA(Path("wine-ro-probe").c_str(), FILE_ATTRIBUTE_READONLY);
        HANDLE h = CreateFileA(Path("wine-ro-probe").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        SetFileAttributesA(Path("wine-ro-probe").c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(Path("wine-ro-probe").c_str());
        return h != INVALID_HANDLE_VALUE;
    }

    bool Exists(const std::string& relative) const
    {
        return GetFileAttributesA(Path(relative).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    std::string root;

private:
#ifndef _WIN32
    std::string hostFolder_;
#endif
};

} // namespace qeltest

#endif
