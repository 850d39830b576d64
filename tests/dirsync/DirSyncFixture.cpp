#include "DirSyncFixture.h"

#include "protocol/TaskRecords.h"
#include "service/LogFile.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

using namespace qek;

namespace fs = std::filesystem;

namespace dstest {

namespace {

SyncClient* theClient = nullptr;

// "/tmp/x/log" as the layer names a host folder outside every drive.
std::string WindowsFormOfHostPath(const fs::path& path)
{
    std::string text = path.string();
    for (char& c : text) {
        if (c == '/') {
            c = '\\';
        }
    }
    return text;
}

fs::path ExecutableFolder()
{
    return fs::read_symlink("/proc/self/exe").parent_path();
}

} // namespace

Workspace::Workspace()
{
    std::string pattern = (fs::temp_directory_path() / "qel-dirsync-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
    for (char letter : kDriveLetters) {
        drives_.emplace_back(letter, root_ / std::string(1, letter));
        fs::create_directories(drives_.back().second);
    }
    fs::create_directories(ServerFolder());
    fs::create_directories(root_ / "log");
    if (const char* previous = std::getenv("QEL_DRIVES")) {
        previousDrives_ = previous;
    }
    ApplyDriveMap();
    log_ = std::make_shared<LogFile>("QELCltCore.exe");
    log_->SetPath((WindowsFormOfHostPath(root_ / "log") + "\\qeclt.log").c_str());
    SetModuleLog(log_);
}

Workspace::~Workspace()
{
    SetModuleLog(nullptr);
    log_.reset();
    if (previousDrives_) {
        setenv("QEL_DRIVES", previousDrives_->c_str(), 1);
    } else {
        unsetenv("QEL_DRIVES");
    }
    std::error_code ignored;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root_, ignored)) {
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow,
                        ignored);
    }
    fs::remove_all(root_, ignored);
}

void Workspace::ApplyDriveMap() const
{
    std::string map;
    for (const auto& [letter, folder] : drives_) {
        map += std::string(1, static_cast<char>(letter - 'a' + 'A')) + "=" + folder.string() + ";";
    }
    setenv("QEL_DRIVES", map.c_str(), 1);
}

fs::path Workspace::DriveFolder(char letter) const
{
    for (const auto& [mapped, folder] : drives_) {
        if (mapped == letter) {
            return folder;
        }
    }
    throw std::invalid_argument(std::string("drive not mapped: ") + letter);
}

void Workspace::MapDrive(char letter, const fs::path& hostFolder)
{
    for (auto& [mapped, folder] : drives_) {
        if (mapped == letter) {
            folder = hostFolder;
        }
    }
    ApplyDriveMap();
}

fs::path Workspace::Host(std::string_view windowsPath) const
{
    fs::path host = DriveFolder(static_cast<char>(std::tolower(static_cast<unsigned char>(windowsPath.at(0)))));
    windowsPath.remove_prefix(2);
    std::string rest(windowsPath);
    while (!rest.empty() && rest.front() == '\\') {
        rest.erase(0, 1);
    }
    for (char& c : rest) {
        if (c == '\\') {
            c = '/';
        }
    }
    return rest.empty() ? host : host / rest;
}

void Workspace::PutServerFile(const std::string& name, const std::string& content) const
{
    PutFile(ServerFolder() / name, content);
}

std::vector<std::string> Workspace::LogMessages() const
{
    const std::string prefix = "QELCltCore.exe: ";
    const std::string bytes = ReadFile(root_ / "log" / "qeclt.log").value_or("");
    std::vector<std::string> messages;
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
        const size_t at = line.find(prefix);
        messages.push_back(at == std::string::npos ? line : line.substr(at + prefix.size()));
    }
    return messages;
}

void PutFile(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << path;
}

std::optional<std::string> ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<uint64_t> FileTimeOf(const fs::path& path)
{
    const std::optional<qelsrv::EntryState> state = qelsrv::ReadEntryState(path);
    if (!state) {
        return std::nullopt;
    }
    return state->fileTime;
}

std::string Pattern(size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 12345u;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

SyncClient::SyncClient(int32_t writeModeFlag) : service_(writeModeFlag)
{
    theClient = this;
    RavelnetServerSettings settings{};
    std::strcpy(settings.listenAddress, "127.0.0.1");
    settings.port = 0; // any free port
    settings.one = 1;
    unsigned char unused[8] = {};
    server_ = RavelnetOpenServer(&settings, unused);
    if (server_ == 0) {
        throw std::runtime_error("the task server could not be opened");
    }
    RavelnetSetTaskHandler(server_, &SyncClient::OnTask);
    port_ = static_cast<uint16_t>(RavelnetServerPort(server_));
}

SyncClient::~SyncClient()
{
    RavelnetCloseServer(server_);
    theClient = nullptr;
}

uint32_t SyncClient::OnTask(RavelnetConnection connection, uint32_t context, const RavelnetTaskHeader* header,
                            uint32_t reserved)
{
    SyncClient* client = theClient;
    client->service_.HandleDirectorySync(connection, context, reinterpret_cast<const TaskRequest*>(header), reserved);
    {
        std::lock_guard<std::mutex> lock(client->mutex_);
        ++client->tasksFinished_;
    }
    client->finished_.notify_all();
    return 1;
}

bool SyncClient::WaitForTasks(int count)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return finished_.wait_for(lock, std::chrono::minutes(1), [&] { return tasksFinished_ >= count; });
}

TaskParams SyncParams(std::string_view basePath, std::string_view subPath, uint32_t excludeDrive,
                      char excludeDriveLetter, uint32_t skipLocalCompare, uint32_t taskId)
{
    TaskParams params{};
    params.taskId = taskId;
    std::memcpy(params.gamePath, basePath.data(), std::min(basePath.size(), sizeof(params.gamePath)));
    std::memcpy(params.subPath, subPath.data(), std::min(subPath.size(), sizeof(params.subPath)));
    params.excludeDrive = excludeDrive;
    params.excludeDriveLetter = excludeDriveLetter;
    params.skipLocalCompare = skipLocalCompare;
    return params;
}

qelsrv::SessionResult RunSync(uint16_t port, const fs::path& folder, const TaskParams& params)
{
    const qelsrv::CheckList list = qelsrv::BuildCheckList(folder);
    EXPECT_TRUE(list.ok());
    qelsrv::FileTaskSpec spec;
    spec.taskType = kTaskDirectorySync;
    spec.declinedCode = kResultDirectoryNotFound;
    spec.params = params;
    qelsrv::Endpoint endpoint;
    endpoint.host = "127.0.0.1";
    endpoint.port = port;
    qelsrv::SessionOptions options;
    options.receiveTimeoutMs = 60000;
    return qelsrv::RunFileTaskSession(endpoint, spec, list, nullptr, options);
}

fs::path DataFileHostPath()
{
    return ExecutableFolder().parent_path() / "Data" / "qelsyncfiles_dst.dat";
}

std::string DataFileWindowsPath()
{
    return WindowsFormOfHostPath(ExecutableFolder()) + "\\..\\Data\\qelsyncfiles_dst.dat";
}

bool Contains(const std::vector<std::string>& messages, const std::string& message)
{
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

// The texts below are the GBK bytes of the messages (obtained with
// iconv -f UTF-8 -t GBK), written apart from the core's sources.
namespace msg {

namespace {
const std::string kCore = "QEK_CORE: ";
// 目录(文件)同步任务
const std::string kSyncTask = "\xc4\xbf\xc2\xbc(\xce\xc4\xbc\xfe)\xcd\xac\xb2\xbd\xc8\xce\xce\xf1";
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

std::string WaitingForDataFile(const std::string& path)
{
    // 目录(文件)同步任务,等待数据文件(
    return kCore + kSyncTask + ",\xb5\xc8\xb4\xfd\xca\xfd\xbe\xdd\xce\xc4\xbc\xfe(" + path + ")";
}

std::string GaveUpWaitingForDataFile(const std::string& path)
{
    // 目录(文件)同步任务,等待数据文件超时,放弃任务(
    return kCore + kSyncTask + ",\xb5\xc8\xb4\xfd\xca\xfd\xbe\xdd\xce\xc4\xbc\xfe\xb3\xac\xca\xb1," +
           "\xb7\xc5\xc6\xfa\xc8\xce\xce\xf1(" + path + ")";
}

std::string NotFound(const std::string& basePath)
{
    // 目录(文件)同步任务,指定根目录不存在(
    return kCore + kSyncTask + ",\xd6\xb8\xb6\xa8\xb8\xf9\xc4\xbf\xc2\xbc\xb2\xbb\xb4\xe6\xd4\xda(" + basePath + ")";
}

std::string StartCheckFile(const std::string& path)
{
    // 开始处理服务器数据检查文件(
    return kCore +
           "\xbf\xaa\xca\xbc\xb4\xa6\xc0\xed\xb7\xfe\xce\xf1\xc6\xf7\xca\xfd\xbe\xdd\xbc\xec\xb2\xe9\xce\xc4\xbc\xfe(" +
           path + ")";
}

std::string DownloadFailed(const std::string& name, int code)
{
    // 下载文件失败(
    return kCore + "\xcf\xc2\xd4\xd8\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc(" + name + ")(" + N(code) + ")";
}

std::string CreateFailed(const std::string& path, int code)
{
    // 建立待下载文件 ... 失败(
    return kCore + "\xbd\xa8\xc1\xa2\xb4\xfd\xcf\xc2\xd4\xd8\xce\xc4\xbc\xfe" + path + "\xca\xa7\xb0\xdc(" + N(code) +
           ")";
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

std::string Downloaded(const std::string& path, int high, int low)
{
    // 下载文件 ... 成功(
    return kCore + "\xcf\xc2\xd4\xd8\xce\xc4\xbc\xfe" + path + "\xb3\xc9\xb9\xa6(" + N(high) + ")(" + N(low) + ")";
}

std::string TaskDone(int files, int taskId, const std::string& root)
{
    // 下载目录(文件)同步任务完成,下载文件数目= ... ,任务ID( ... ),路径( ... )
    return kCore + "\xcf\xc2\xd4\xd8" + kSyncTask +
           "\xcd\xea\xb3\xc9,\xcf\xc2\xd4\xd8\xce\xc4\xbc\xfe\xca\xfd\xc4\xbf=" + N(files) + ",\xc8\xce\xce\xf1" +
           "ID(" + N(taskId) + "),\xc2\xb7\xbe\xb6(" + root + ")";
}

std::string ParamsWithoutTerminator(int taskId)
{
    // 目录(文件)同步任务请求的路径没有结束符,任务ID(
    return kCore + kSyncTask +
           "\xc7\xeb\xc7\xf3\xb5\xc4\xc2\xb7\xbe\xb6\xc3\xbb\xd3\xd0\xbd\xe1\xca\xf8\xb7\xfb,\xc8\xce\xce\xf1" + "ID(" +
           N(taskId) + ")";
}

std::string BadSubPath(const std::string& subPath)
{
    // 目录(文件)同步任务,子目录不合法(
    return kCore + kSyncTask + ",\xd7\xd3\xc4\xbf\xc2\xbc\xb2\xbb\xba\xcf\xb7\xa8(" + subPath + ")";
}

std::string PathTooLong(const std::string& basePath, const std::string& subPath)
{
    // 目录(文件)同步任务,同步目录路径过长(
    return kCore + kSyncTask + ",\xcd\xac\xb2\xbd\xc4\xbf\xc2\xbc\xc2\xb7\xbe\xb6\xb9\xfd\xb3\xa4(" + basePath + ")(" +
           subPath + ")";
}

std::string RootThroughUntrustedLink(const std::string& root, const std::string& link)
{
    // 目录(文件)同步任务,同步目录路径上的链接不属于管理员或系统,不同步(
    return kCore + kSyncTask +
           ",\xcd\xac\xb2\xbd\xc4\xbf\xc2\xbc\xc2\xb7\xbe\xb6\xc9\xcf\xb5\xc4\xc1\xb4\xbd\xd3\xb2\xbb\xca\xf4\xd3"
           "\xda\xb9\xdc\xc0\xed\xd4\xb1\xbb\xf2\xcf\xb5\xcd\xb3,\xb2\xbb\xcd\xac\xb2\xbd(" +
           root + ")(" + link + ")";
}

std::string SameDirectory(const std::string& root)
{
    // 目录(文件)同步任务,复制目录与已同步目录相同,不复制(
    return kCore + kSyncTask +
           ",\xb8\xb4\xd6\xc6\xc4\xbf\xc2\xbc\xd3\xeb\xd2\xd1\xcd\xac\xb2\xbd\xc4\xbf\xc2\xbc\xcf\xe0\xcd\xac,"
           "\xb2\xbb\xb8\xb4"
           "\xd6\xc6(" +
           root + ")";
}

std::string CopyFailed(const std::string& destination, int code)
{
    // 复制文件 ... 失败(
    return kCore + "\xb8\xb4\xd6\xc6\xce\xc4\xbc\xfe" + destination + "\xca\xa7\xb0\xdc(" + N(code) + ")";
}

std::string CopyPathTooLong(const std::string& root, const std::string& name)
{
    // 复制文件路径过长(
    return kCore + "\xb8\xb4\xd6\xc6\xce\xc4\xbc\xfe\xc2\xb7\xbe\xb6\xb9\xfd\xb3\xa4(" + root + ")(" + name + ")";
}

} // namespace msg

} // namespace dstest
