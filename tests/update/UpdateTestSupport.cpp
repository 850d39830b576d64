#include "UpdateTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

using namespace qek;

namespace fs = std::filesystem;

namespace updtest {

namespace {

std::string WithoutDrive(std::string_view windowsPath)
{
    if (windowsPath.size() >= 2 && windowsPath[1] == ':') {
        windowsPath.remove_prefix(2);
    }
    while (!windowsPath.empty() && windowsPath.front() == '\\') {
        windowsPath.remove_prefix(1);
    }
    std::string host(windowsPath);
    for (char& c : host) {
        if (c == '\\') {
            c = '/';
        }
    }
    return host;
}

std::string FullWindowsPath(const std::string& windowsPath)
{
    return windowsPath.size() >= 2 && windowsPath[1] == ':' ? windowsPath : "D:\\" + windowsPath;
}

} // namespace

TempDrive::TempDrive() : folders_("qel-update"), root_(folders_.Root() / "d")
{
    fs::create_directories(root_ / "log");
    folders_.SetVariable("QEL_DRIVES", "D=" + root_.string());
    folders_.OpenModuleLog("D:\\log\\qeclt.log", root_ / "log" / "qeclt.log");
}

TempDrive::~TempDrive() = default;

fs::path TempDrive::Host(std::string_view windowsPath) const
{
    return root_ / WithoutDrive(windowsPath);
}

void PutFile(const TempDrive& drive, const std::string& windowsPath, const std::string& content, uint64_t fileTime)
{
    fs::create_directories(drive.Host(windowsPath).parent_path());
    const std::string path = FullWindowsPath(windowsPath);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path << " error " << GetLastError();
    DWORD written = 0;
    if (!content.empty()) {
        ASSERT_TRUE(WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    }
    FILETIME time{};
    time.dwLowDateTime = static_cast<DWORD>(fileTime);
    time.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
    CloseHandle(file);
}

std::optional<std::string> ReadFileBytes(const TempDrive& /*drive*/, const std::string& windowsPath)
{
    // Through the layer, so that names are found without regard to case.
    const std::string path = FullWindowsPath(windowsPath);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        content.append(buffer, read);
    }
    CloseHandle(file);
    return content;
}

std::optional<uint64_t> FileTimeOf(const std::string& windowsPath)
{
    const std::string path = FullWindowsPath(windowsPath);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    FILETIME time{};
    const bool read = GetFileTime(file, nullptr, nullptr, &time) != FALSE;
    CloseHandle(file);
    if (!read) {
        return std::nullopt;
    }
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

bool Exists(const TempDrive& /*drive*/, const std::string& windowsPath)
{
    return GetFileAttributesA(FullWindowsPath(windowsPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace updtest
