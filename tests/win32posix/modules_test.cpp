// Module calls on POSIX: the executable's path in backslash form, and
// LoadLibraryA finding "libx.so" for "X.dll" in the same folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#ifndef QEL_TEST_MODULE_FILE
#error "QEL_TEST_MODULE_FILE names the built test library"
#endif

namespace {

namespace fs = std::filesystem;

std::string BackslashForm(std::string path)
{
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

std::string ExecutablePath()
{
    char buffer[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, size_t(length)) : std::string();
}

TEST(ModuleFileName, ExecutableInBackslashForm)
{
    const std::string expected = BackslashForm(ExecutablePath());
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(expected[0], '\\');
    char buffer[PATH_MAX];
    SetLastError(1234);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, sizeof buffer), expected.size());
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
}

TEST(ModuleFileName, TruncatedToTheBuffer)
{
    const std::string expected = BackslashForm(ExecutablePath());
    char buffer[PATH_MAX];
    for (DWORD size : {DWORD(1), DWORD(5), DWORD(expected.size())}) {
        memset(buffer, 'Z', sizeof buffer);
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, size), size);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(std::string(buffer), expected.substr(0, size - 1)) << size;
    }
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, 0), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
}

// The executable's folder + "..\log\x" resolves through the layer.
TEST(ModuleFileName, FolderPlusRelativePathResolves)
{
    char buffer[PATH_MAX];
    ASSERT_GT(GetModuleFileNameA(nullptr, buffer, sizeof buffer), 0u);
    std::string path = buffer;
    path = path.substr(0, path.rfind('\\') + 1) + "..\\" + fs::path(ExecutablePath()).parent_path().filename().string();
    EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u) << path;
}

class Library : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qel-modules-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        fs::copy_file(QEL_TEST_MODULE_FILE, folder_ + "/libqelprobe.so");
        std::ofstream(folder_ + "/Junk.dll") << "not a library";
        setenv("QEL_DRIVES", ("M=" + folder_).c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("QEL_DRIVES");
        fs::remove_all(folder_);
    }
    std::string folder_;
};

TEST_F(Library, DllNameLoadsTheSharedObjectBesideIt)
{
    const std::string names[] = {"M:\\QelProbe.dll", "m:\\QELPROBE.DLL", "M:\\QelProbe",
                                 BackslashForm(folder_) + "\\QelProbe.dll"};
    for (const std::string& name : names) {
        HMODULE module = LoadLibraryA(name.c_str());
        ASSERT_NE(module, nullptr) << name << " " << GetLastError();
        auto answer = reinterpret_cast<int (*)()>(reinterpret_cast<void*>(GetProcAddress(module, "QelProbeAnswer")));
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer(), 42);
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(module, "NoSuchEntry"), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));

        char path[PATH_MAX];
        ASSERT_GT(GetModuleFileNameA(module, path, sizeof path), 0u);
        EXPECT_EQ(std::string(path), BackslashForm(folder_) + "\\libqelprobe.so");
        EXPECT_TRUE(FreeLibrary(module));
    }
}

TEST_F(Library, LoadFailures)
{
    struct Case {
        const char* name;
        DWORD error;
    } cases[] = {
        {"M:\\Missing.dll", ERROR_MOD_NOT_FOUND},
        {"M:\\nofolder\\QelProbe.dll", ERROR_MOD_NOT_FOUND},
        {"Q:\\QelProbe.dll", ERROR_MOD_NOT_FOUND},
        {"M:\\Junk.dll", ERROR_BAD_EXE_FORMAT},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryA(c.name), nullptr) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
}

TEST_F(Library, LoadsAreCountedAndHandlesChecked)
{
    HMODULE first = LoadLibraryA("M:\\QelProbe.dll");
    HMODULE second = LoadLibraryA("M:\\QelProbe.dll");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_NE(GetProcAddress(second, "QelProbeAnswer"), nullptr); // still loaded once
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_FALSE(FreeLibrary(second));
    int notAModule = 0;
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(&notAModule, "QelProbeAnswer"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

} // namespace
