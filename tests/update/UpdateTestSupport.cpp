#include "UpdateTestSupport.h"

#include "service/LogFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

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

TempDrive::TempDrive()
{
    std::string pattern = (fs::temp_directory_path() / "qel-update-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (made == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = fs::path(made) / "d";
    fs::create_directories(root_ / "log");
    if (const char* previous = std::getenv("QEL_DRIVES")) {
        previousDrives_ = previous;
    }
    setenv("QEL_DRIVES", ("D=" + root_.string()).c_str(), 1);
    log_ = std::make_shared<LogFile>("QELCltCore.exe");
    log_->SetPath("D:\\log\\qeclt.log");
    SetModuleLog(log_);
}

TempDrive::~TempDrive()
{
    SetModuleLog(nullptr);
    log_.reset();
    if (previousDrives_) {
        setenv("QEL_DRIVES", previousDrives_->c_str(), 1);
    } else {
        unsetenv("QEL_DRIVES");
    }
    std::error_code ignored;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_.parent_path(), ignored);
}

fs::path TempDrive::Host(std::string_view windowsPath) const
{
    return root_ / WithoutDrive(windowsPath);
}

std::string TempDrive::LogBytes() const
{
    std::ifstream in(root_ / "log" / "qeclt.log", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> TempDrive::LogMessages() const
{
    const std::string prefix = "QELCltCore.exe: ";
    std::vector<std::string> messages;
    const std::string bytes = LogBytes();
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        const std::string line = bytes.substr(start, end - start);
        start = end + 2;
        if (line.empty()) {
            continue; // after a message that ends in "\r\n" itself
        }
        // "YYYY-MM-DD HH:MM:SS " then the module prefix.
        const size_t at = line.find(prefix);
        messages.push_back(at == std::string::npos ? line : line.substr(at + prefix.size()));
    }
    return messages;
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

std::string Pattern(uint64_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 12345u;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// The texts below are the GBK bytes of the messages (obtained with
// iconv -f UTF-8 -t GBK), written apart from the core's sources.
namespace msg {

namespace {
const std::string kCore = "QEK_CORE: ";
std::string N(int value)
{
    return std::to_string(value);
}
} // namespace

std::string ReceiveParamsFailed(int code)
{
    // 获取服务器任务请求失败(
    return kCore + "\xbb\xf1\xc8\xa1\xb7\xfe\xce\xf1\xc6\xf7\xc8\xce\xce\xf1\xc7\xeb\xc7\xf3\xca\xa7\xb0\xdc(" +
           N(code) + ")";
}

std::string VersionsAgree(const std::string& gamePath, const std::string& version)
{
    // 版本一致放弃更新.(
    return kCore + "\xb0\xe6\xb1\xbe\xd2\xbb\xd6\xc2\xb7\xc5\xc6\xfa\xb8\xfc\xd0\xc2.(" + gamePath + ")(" + version +
           ")";
}

std::string StartCheckFile(const std::string& path)
{
    // 开始处理服务器数据检查文件(
    return kCore +
           "\xbf\xaa\xca\xbc\xb4\xa6\xc0\xed\xb7\xfe\xce\xf1\xc6\xf7\xca\xfd\xbe\xdd\xbc\xec\xb2\xe9\xce\xc4\xbc\xfe(" +
           path + ")";
}

std::string CheckListTooLarge(const std::string& path, uint32_t size)
{
    // 服务器数据检查文件大小超过磁盘剩余空间,放弃处理(
    return kCore +
           "\xb7\xfe\xce\xf1\xc6\xf7\xca\xfd\xbe\xdd\xbc\xec\xb2\xe9\xce\xc4\xbc\xfe\xb4\xf3\xd0\xa1\xb3\xac"
           "\xb9\xfd\xb4\xc5\xc5\xcc\xca\xa3\xd3\xe0\xbf\xd5\xbc\xe4,\xb7\xc5\xc6\xfa\xb4\xa6\xc0\xed(" +
           path + ")(" + std::to_string(size) + ")";
}

std::string CheckFileFailed(int code)
{
    // 处理服务器数据检查文件失败(
    return kCore +
           "\xb4\xa6\xc0\xed\xb7\xfe\xce\xf1\xc6\xf7\xca\xfd\xbe\xdd\xbc\xec\xb2\xe9\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc(" +
           N(code) + ")";
}

std::string DownloadFailed(const std::string& name, int code)
{
    // 下载文件失败(
    return kCore + "\xcf\xc2\xd4\xd8\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc(" + name + ")(" + N(code) + ")";
}

std::string TaskDone(int files, int taskId, const std::string& gamePath)
{
    // 下载任务完成,下载文件数目= ... ,任务ID( ... ),路径( ... )
    return kCore +
           "\xcf\xc2\xd4\xd8\xc8\xce\xce\xf1\xcd\xea\xb3\xc9,\xcf\xc2\xd4\xd8\xce\xc4\xbc\xfe\xca\xfd\xc4\xbf=" +
           N(files) + ",\xc8\xce\xce\xf1" + "ID(" + N(taskId) + "),\xc2\xb7\xbe\xb6(" + gamePath + ")";
}

std::string CheckFileReceived(const std::string& path, int size)
{
    // 接收任务检查文件完成，
    return "\xbd\xd3\xca\xd5\xc8\xce\xce\xf1\xbc\xec\xb2\xe9\xce\xc4\xbc\xfe\xcd\xea\xb3\xc9\xa3\xac" + path + "," +
           N(size);
}

std::string FilesToUpdate(int files, int high, int low)
{
    // 服务器同步任务,需要更新文件数目( ... ),更新量( ... )
    return std::string("\xb7\xfe\xce\xf1\xc6\xf7\xcd\xac\xb2\xbd\xc8\xce\xce\xf1,"
                       "\xd0\xe8\xd2\xaa\xb8\xfc\xd0\xc2\xce\xc4\xbc\xfe"
                       "\xca\xfd\xc4\xbf(") +
           N(files) + "),\xb8\xfc\xd0\xc2\xc1\xbf(" + N(high) + "," + N(low) + ")";
}

std::string Unmappable(int code)
{
    // 建立数据检查内存映射失败(
    return kCore + "\xbd\xa8\xc1\xa2\xca\xfd\xbe\xdd\xbc\xec\xb2\xe9\xc4\xda\xb4\xe6\xd3\xb3\xc9\xe4\xca\xa7\xb0\xdc(" +
           N(code) + ")";
}

std::string BadTag(int tag)
{
    // QELDtFile结构无效，分析下载信息结束(
    return kCore + "QELDtFile" +
           "\xbd\xe1\xb9\xb9\xce\xde\xd0\xa7\xa3\xac\xb7\xd6\xce\xf6\xcf\xc2\xd4\xd8\xd0\xc5\xcf\xa2\xbd\xe1\xca\xf8(" +
           N(tag) + ")";
}

std::string CreateFailed(const std::string& path, int code)
{
    // 建立待下载文件 ... 失败(
    return kCore + "\xbd\xa8\xc1\xa2\xb4\xfd\xcf\xc2\xd4\xd8\xce\xc4\xbc\xfe" + path + "\xca\xa7\xb0\xdc(" + N(code) +
           ")";
}

std::string Downloaded(const std::string& path, int high, int low)
{
    // 下载文件 ... 成功(
    return kCore + "\xcf\xc2\xd4\xd8\xce\xc4\xbc\xfe" + path + "\xb3\xc9\xb9\xa6(" + N(high) + ")(" + N(low) + ")";
}

std::string EndOfTaskFailed(int code)
{
    // 发送结束任务命令失败(
    return kCore + "\xb7\xa2\xcb\xcd\xbd\xe1\xca\xf8\xc8\xce\xce\xf1\xc3\xfc\xc1\xee\xca\xa7\xb0\xdc(" + N(code) + ")";
}

std::string BadName(const std::string& name)
{
    // QELDtFile文件名不合法，分析下载信息失败(
    return kCore + "QELDtFile" +
           "\xce\xc4\xbc\xfe\xc3\xfb\xb2\xbb\xba\xcf\xb7\xa8\xa3\xac\xb7\xd6\xce\xf6\xcf\xc2\xd4\xd8\xd0\xc5\xcf\xa2"
           "\xca\xa7\xb0\xdc(" +
           name + ")";
}

std::string PathTooLong(const std::string& root, const std::string& name)
{
    // QELDtFile文件路径过长，分析下载信息失败(
    return kCore + "QELDtFile" +
           "\xce\xc4\xbc\xfe\xc2\xb7\xbe\xb6\xb9\xfd\xb3\xa4\xa3\xac\xb7\xd6\xce\xf6\xcf\xc2\xd4\xd8\xd0\xc5\xcf\xa2"
           "\xca\xa7\xb0\xdc(" +
           root + ")(" + name + ")";
}

std::string ReceiveBadName(const std::string& name)
{
    // 待下载文件名不合法(
    return kCore + "\xb4\xfd\xcf\xc2\xd4\xd8\xce\xc4\xbc\xfe\xc3\xfb\xb2\xbb\xba\xcf\xb7\xa8(" + name + ")";
}

std::string ReceivePathTooLong(const std::string& root, const std::string& name)
{
    // 待下载文件路径过长(
    return kCore + "\xb4\xfd\xcf\xc2\xd4\xd8\xce\xc4\xbc\xfe\xc2\xb7\xbe\xb6\xb9\xfd\xb3\xa4(" + root + ")(" + name +
           ")";
}

std::string ParamsWithoutTerminator(int taskId)
{
    // 服务器任务请求的版本或路径没有结束符,放弃更新,任务ID(
    return kCore +
           "\xb7\xfe\xce\xf1\xc6\xf7\xc8\xce\xce\xf1\xc7\xeb\xc7\xf3\xb5\xc4\xb0\xe6\xb1\xbe\xbb\xf2\xc2\xb7\xbe\xb6"
           "\xc3\xbb\xd3\xd0"
           "\xbd\xe1\xca\xf8\xb7\xfb,\xb7\xc5\xc6\xfa\xb8\xfc\xd0\xc2,\xc8\xce\xce\xf1" +
           "ID(" + N(taskId) + ")";
}

std::string GamePathTooLong(const std::string& gamePath)
{
    // 游戏路径过长,放弃更新(
    return kCore + "\xd3\xce\xcf\xb7\xc2\xb7\xbe\xb6\xb9\xfd\xb3\xa4,\xb7\xc5\xc6\xfa\xb8\xfc\xd0\xc2(" + gamePath +
           ")";
}

std::string GamePathThroughUntrustedLink(const std::string& gamePath, const std::string& link)
{
    // 游戏路径上的链接不属于管理员或系统,放弃更新(
    return kCore +
           "\xd3\xce\xcf\xb7\xc2\xb7\xbe\xb6\xc9\xcf\xb5\xc4\xc1\xb4\xbd\xd3\xb2\xbb\xca\xf4\xd3\xda\xb9\xdc\xc0\xed"
           "\xd4"
           "\xb1\xbb\xf2\xcf\xb5\xcd\xb3,\xb7\xc5\xc6\xfa\xb8\xfc\xd0\xc2(" +
           gamePath + ")(" + link + ")";
}

std::string GamePathInvalid(const std::string& gamePath)
{
    // 游戏路径不合法,放弃更新(
    return kCore + "\xd3\xce\xcf\xb7\xc2\xb7\xbe\xb6\xb2\xbb\xba\xcf\xb7\xa8,\xb7\xc5\xc6\xfa\xb8\xfc\xd0\xc2(" +
           gamePath + ")";
}

} // namespace msg

} // namespace updtest
