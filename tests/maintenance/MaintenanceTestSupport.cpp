#include "MaintenanceTestSupport.h"

#include "service/LogFile.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

using namespace qek;

namespace fs = std::filesystem;

namespace mnttest {

namespace {

MaintenanceClient* theClient = nullptr;

std::optional<std::string> Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

void Restore(const char* name, const std::optional<std::string>& value)
{
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}

// "\tmp\x\log\qeclt.log": the layer reads a path that starts with a single
// backslash as a host path.
std::string HostPathForLayer(const fs::path& host)
{
    std::string text = host.string();
    for (char& c : text) {
        if (c == '/') {
            c = '\\';
        }
    }
    return text;
}

bool IsTimeStampAt(const std::string& text, size_t at)
{
    static const char kPattern[] = "dddd-dd-dd dd:dd:dd";
    if (text.size() - at < sizeof kPattern - 1) {
        return false;
    }
    for (size_t i = 0; i + 1 < sizeof kPattern; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[at + i]);
        if (kPattern[i] == 'd' ? !std::isdigit(c) : c != static_cast<unsigned char>(kPattern[i])) {
            return false;
        }
    }
    return true;
}

// GBK bytes of the messages' Chinese parts.
const std::string kPrefix = "QEK_CORE: ";
const std::string kDeleteGameTask = "\xc9\xbe\xb3\xfd\xd3\xce\xcf\xb7\xc8\xce\xce\xf1"; // 删除游戏任务
const std::string kDiskInfoTask =
    "\xbb\xf1\xc8\xa1\xb4\xc5\xc5\xcc\xd0\xc5\xcf\xa2\xc8\xce\xce\xf1"; // 获取磁盘信息任务
const std::string kDone = "\xcd\xea\xb3\xc9";                           // 完成
const std::string kFailed = "\xca\xa7\xb0\xdc";                         // 失败

std::string InParentheses(const std::string& text)
{
    return "(" + text + ")";
}

} // namespace

TestDrives::TestDrives(const std::vector<DriveSpec>& drives, char systemLetter)
{
    std::string pattern = (fs::temp_directory_path() / "qel-maintenance-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    base_ = pattern;
    fs::create_directories(base_ / "log");
    fs::create_directories(Outside());

    std::string map;
    for (const DriveSpec& drive : drives) {
        const fs::path root = base_ / "drives" / std::string(1, drive.letter);
        fs::create_directories(root);
        map += std::string(1, drive.letter) + "=" + root.string() + "," + drive.type + ";";
    }
    previousDrives_ = Environment("QEL_DRIVES");
    previousSystem_ = Environment("QEL_SYSTEM_DRIVE");
    setenv("QEL_DRIVES", map.c_str(), 1);
    setenv("QEL_SYSTEM_DRIVE", std::string(1, systemLetter).c_str(), 1);

    log_ = std::make_shared<LogFile>("QELCltCore.exe");
    log_->SetPath(HostPathForLayer(base_ / "log" / "qeclt.log").c_str());
    SetModuleLog(log_);
}

TestDrives::~TestDrives()
{
    SetModuleLog(nullptr);
    log_.reset();
    Restore("QEL_DRIVES", previousDrives_);
    Restore("QEL_SYSTEM_DRIVE", previousSystem_);
    // Read-only entries left by a test must not stop the clean-up.
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(base_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        if (!it->is_symlink()) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(base_, ignored);
}

fs::path TestDrives::Host(std::string_view windowsPath) const
{
    fs::path host = base_ / "drives" / std::string(1, static_cast<char>(std::toupper(windowsPath.at(0))));
    std::string rest(windowsPath.substr(2));
    for (char& c : rest) {
        if (c == '\\') {
            c = '/';
        }
    }
    while (!rest.empty() && rest.front() == '/') {
        rest.erase(0, 1);
    }
    return rest.empty() ? host : host / rest;
}

std::string TestDrives::MaskedLog() const
{
    std::ifstream in(base_ / "log" / "qeclt.log", std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    const std::string log = content.str();

    std::string masked;
    size_t at = 0;
    while (at < log.size()) {
        if (IsTimeStampAt(log, at)) {
            masked += "T";
            at += 19;
        }
        const size_t end = log.find("\r\n", at);
        const size_t next = end == std::string::npos ? log.size() : end + 2;
        masked += log.substr(at, next - at);
        at = next;
    }
    return masked;
}

std::string LogOf(const std::vector<std::string>& messages)
{
    std::string log;
    for (const std::string& message : messages) {
        log += "T QELCltCore.exe: " + message + "\r\n";
    }
    return log;
}

void PutHostFile(const fs::path& path, std::string_view content)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

MaintenanceClient::MaintenanceClient()
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
    RavelnetSetTaskHandler(server_, &MaintenanceClient::OnTask);
    port_ = static_cast<uint16_t>(RavelnetServerPort(server_));
}

MaintenanceClient::~MaintenanceClient()
{
    RavelnetCloseServer(server_);
    theClient = nullptr;
}

uint32_t MaintenanceClient::OnTask(RavelnetConnection connection, uint32_t context, const RavelnetTaskHeader* header,
                                   uint32_t reserved)
{
    MaintenanceClient* client = theClient;
    if (client->beforeHandler_) {
        client->beforeHandler_(connection);
    }
    const auto* request = reinterpret_cast<const TaskRequest*>(header);
    if (header->type == kTaskDeleteGame) {
        client->service_.HandleDeleteGame(connection, context, request, reserved);
    } else if (header->type == kTaskDiskInfo) {
        client->service_.HandleDiskInfo(connection, context, request, reserved);
    } else {
        RavelnetDropTask(connection);
    }
    {
        std::lock_guard<std::mutex> lock(client->mutex_);
        ++client->tasksFinished_;
    }
    client->finished_.notify_all();
    return 1;
}

bool MaintenanceClient::WaitForTasks(int count)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return finished_.wait_for(lock, std::chrono::minutes(1), [&] { return tasksFinished_ >= count; });
}

namespace msg {

std::string DiskInfoDone()
{
    return kPrefix + kDiskInfoTask + kDone;
}

std::string DiskInfoFailed(int sendResult, int lastError)
{
    // Two blanks after the colon.
    return "QEK_CORE:  " + kDiskInfoTask + kFailed + InParentheses(std::to_string(sendResult)) +
           InParentheses(std::to_string(lastError));
}

std::string DeleteReceiveFailed(int code)
{
    // 获取服务器删除游戏任务请求失败
    return kPrefix + "\xbb\xf1\xc8\xa1\xb7\xfe\xce\xf1\xc6\xf7" + kDeleteGameTask + "\xc7\xeb\xc7\xf3" + kFailed +
           InParentheses(std::to_string(code));
}

std::string DeleteStart(const std::string& rawPath)
{
    // 删除游戏任务开始,原始路径
    return kPrefix + kDeleteGameTask + "\xbf\xaa\xca\xbc" + "," + "\xd4\xad\xca\xbc\xc2\xb7\xbe\xb6" +
           InParentheses(rawPath);
}

std::string DeleteSkipUntrustedLink(const std::string& path, const std::string& link)
{
    // 删除游戏任务跳过路径上不属于管理员或系统的链接
    return kPrefix + kDeleteGameTask +
           "\xcc\xf8\xb9\xfd\xc2\xb7\xbe\xb6\xc9\xcf\xb2\xbb\xca\xf4\xd3\xda\xb9\xdc\xc0\xed\xd4\xb1\xbb\xf2\xcf\xb5"
           "\xcd\xb3\xb5\xc4\xc1\xb4\xbd\xd3" +
           InParentheses(path) + InParentheses(link);
}

std::string DeleteSkip(const std::string& path)
{
    // 删除游戏任务跳过不合法的二级路径
    return kPrefix + kDeleteGameTask +
           "\xcc\xf8\xb9\xfd\xb2\xbb\xba\xcf\xb7\xa8\xb5\xc4\xb6\xfe\xbc\xb6\xc2\xb7\xbe\xb6" + InParentheses(path);
}

std::string DeleteDone(int replyResult)
{
    return kPrefix + kDeleteGameTask + kDone + InParentheses(std::to_string(replyResult));
}

std::string DeleteRequestTooLong(uint32_t length)
{
    // 删除游戏任务请求过长
    return kPrefix + kDeleteGameTask + "\xc7\xeb\xc7\xf3\xb9\xfd\xb3\xa4" + InParentheses(std::to_string(length));
}

std::string TaskEndedByException(uint32_t taskType, const std::string& reason)
{
    // 任务因异常中止,任务类型(...),原因(...)
    return kPrefix + "\xc8\xce\xce\xf1\xd2\xf2\xd2\xec\xb3\xa3\xd6\xd0\xd6\xb9," + "\xc8\xce\xce\xf1\xc0\xe0\xd0\xcd" +
           InParentheses(std::to_string(taskType)) + "," + "\xd4\xad\xd2\xf2" + InParentheses(reason);
}

} // namespace msg

} // namespace mnttest
