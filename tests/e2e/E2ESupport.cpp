#include "E2ESupport.h"

#include "HostFiles.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace e2e {

void WorldTest::SetUp()
{
    if (auto reason = ClientWorld::Unavailable(GetParam())) {
        GTEST_SKIP() << *reason;
    }
    client_ = ClientWorld::Create(GetParam());
}

void WorldTest::TearDown()
{
    if (client_ && HasFailure()) {
        ReportClient(*client_);
    }
    client_.reset();
}

void PrintTo(const WriteMode& mode, std::ostream* out)
{
    *out << mode.name;
}

const WriteMode kWriteModes[2] = {
    {"Buffered", std::nullopt, false},
    {"Unbuffered", "1", true},
};

void WorldAndModeTest::SetUp()
{
    if (auto reason = ClientWorld::Unavailable(std::get<0>(GetParam()))) {
        GTEST_SKIP() << *reason;
    }
    client_ = ClientWorld::Create(std::get<0>(GetParam()));
    client_->SetWriteModeValue(Mode().registryValue);
}

void WorldAndModeTest::TearDown()
{
    if (client_ && HasFailure()) {
        ReportClient(*client_);
    }
    client_.reset();
}

std::string WorldAndModeParamName(const testing::TestParamInfo<WorldAndMode>& info)
{
    return WorldName(std::get<0>(info.param)) + std::get<1>(info.param).name;
}

void ReportClient(const ClientWorld& client)
{
    std::cerr << "-- " << WorldName(client.Kind()) << " client's log:\n"
              << ReadableLog(client.ReadLog()) << "-- its host's standard error:\n"
              << client.HostErrors() << "\n";
}

std::string ReadableLog(const std::string& log)
{
    iconv_t converter = iconv_open("UTF-8", "GBK");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return log;
    }
    std::string input = log;
    std::string output(log.size() * 2 + 16, '\0');
    char* in = input.data();
    size_t inLeft = input.size();
    char* out = output.data();
    size_t outLeft = output.size();
    while (inLeft > 0 && iconv(converter, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
        if (errno != EILSEQ && errno != EINVAL) {
            break;
        }
        if (outLeft == 0) {
            break;
        }
        *out++ = '?'; // a byte that is not GBK
        --outLeft;
        ++in;
        --inLeft;
    }
    iconv_close(converter);
    output.resize(output.size() - outLeft);
    return output;
}

const char* const kWineFileLinkLimit =
    "cannot run under Wine: Wine 8 presents a Unix symbolic link to a file as the file itself (no "
    "reparse-point attribute, and DeleteFileA removes the file it points to), so no Windows program under "
    "Wine can tell such a link from a file; on Windows a file link carries FILE_ATTRIBUTE_REPARSE_POINT, "
    "which the client relies on";

std::string WorldParamName(const testing::TestParamInfo<World>& info)
{
    return WorldName(info.param);
}

// ---- The log ----------------------------------------------------------------

namespace {

constexpr std::string_view kModuleMarker = " QELCltCore.exe: ";
constexpr std::size_t kTimeStampLength = 19;

std::vector<std::string> SplitLines(const std::string& log)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < log.size()) {
        const std::size_t end = log.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(log.substr(start));
            break;
        }
        lines.push_back(log.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

} // namespace

std::vector<std::string> LogMessages(const std::string& log)
{
    std::vector<std::string> messages;
    for (const std::string& line : SplitLines(log)) {
        if (line.size() >= kTimeStampLength + kModuleMarker.size() &&
            line.compare(kTimeStampLength, kModuleMarker.size(), kModuleMarker) == 0) {
            messages.push_back(line.substr(kTimeStampLength + kModuleMarker.size()));
        }
    }
    return messages;
}

std::string MaskTimeStamps(const std::string& log)
{
    static const std::regex timeStamp(R"((^|\r\n)\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )");
    return std::regex_replace(log, timeStamp, "$1T ");
}

int CountMessage(const std::vector<std::string>& messages, const std::string& message)
{
    int count = 0;
    for (const std::string& each : messages) {
        count += each == message ? 1 : 0;
    }
    return count;
}

std::vector<std::string> MessagesOnceLogged(const ClientWorld& client, const std::string& message, int count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    for (;;) {
        std::vector<std::string> messages = LogMessages(client.ReadLog());
        if (CountMessage(messages, message) >= count || std::chrono::steady_clock::now() >= deadline) {
            return messages;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// ---- Files --------------------------------------------------------------------

namespace {

// FILETIME counts 100 ns since 1601; Unix time counts since 1970.
constexpr uint64_t kFileTimeOfUnixEpoch = 116444736000000000ull;

timespec UnixTimeOf(uint64_t fileTime)
{
    const uint64_t sinceEpoch = fileTime - kFileTimeOfUnixEpoch;
    timespec time{};
    time.tv_sec = static_cast<time_t>(sinceEpoch / 10000000u);
    time.tv_nsec = static_cast<long>((sinceEpoch % 10000000u) * 100u);
    return time;
}

} // namespace

void PutFile(const fs::path& path, const std::string& content, uint64_t fileTime)
{
    fs::create_directories(path.parent_path());
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << content;
    }
    SetFileTimeOf(path, fileTime);
}

void SetFileTimeOf(const fs::path& path, uint64_t fileTime)
{
    const timespec times[2] = {UnixTimeOf(fileTime), UnixTimeOf(fileTime)};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

std::optional<std::string> ReadFileBytes(const fs::path& path)
{
    return qeltest::ReadHostFile(path);
}

std::optional<uint64_t> FileTimeOf(const fs::path& path)
{
    struct stat status { };
    if (::lstat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return kFileTimeOfUnixEpoch + static_cast<uint64_t>(status.st_mtim.tv_sec) * 10000000u +
           static_cast<uint64_t>(status.st_mtim.tv_nsec) / 100u;
}

std::string Pattern(uint64_t size, uint32_t seed)
{
    return qeltest::Pattern(size, seed, 1u);
}

void PrintTo(const FileState& state, std::ostream* out)
{
    *out << "{size " << state.size << ", time " << state.fileTime << ", digest " << std::hex << state.digest << std::dec
         << "}";
}

std::map<std::string, FileState> FilesBelow(const fs::path& root)
{
    std::map<std::string, FileState> files;
    if (!fs::exists(root)) {
        return files;
    }
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (!it->is_regular_file(/*follows links*/) || it->is_symlink()) {
            continue;
        }
        const std::string content = ReadFileBytes(it->path()).value_or("");
        uint64_t digest = 1469598103934665603ull; // FNV-1a
        for (unsigned char byte : content) {
            digest = (digest ^ byte) * 1099511628211ull;
        }
        files[fs::relative(it->path(), root).generic_string()] =
            FileState{content.size(), FileTimeOf(it->path()).value_or(0), digest};
    }
    return files;
}

VolumeSpace SpaceOf(const fs::path& folder)
{
    struct statvfs status { };
    if (::statvfs(folder.c_str(), &status) != 0) {
        return {};
    }
    return {static_cast<uint64_t>(status.f_blocks) * status.f_frsize,
            static_cast<uint64_t>(status.f_bavail) * status.f_frsize};
}

TempFolder::TempFolder()
{
    std::string pattern = (fs::temp_directory_path() / "qel-e2e-server-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

// ---- A scripted server --------------------------------------------------------

namespace {

std::string RequestedName(const FileRequest& request)
{
    return std::string(request.fileName, strnlen(request.fileName, sizeof request.fileName));
}

} // namespace

ScriptedOutcome RunScriptedUpdate(const qelsrv::Endpoint& client, const ScriptedUpdate& script)
{
    ScriptedOutcome outcome;
    try {
        auto connection = qelsrv::TaskConnection::Connect(client.host, client.port);
        connection.SetTimeout(std::chrono::milliseconds(120000));
        TaskParams params = script.params;
        params.checkListSize = static_cast<uint32_t>(script.records.size() * sizeof(QELDtFile));
        connection.StartTask(script.taskType, params);
        outcome.reply = connection.ReceiveReply();
        if (outcome.reply->resultCode != 1) {
            return outcome;
        }
        connection.Send(std::as_bytes(std::span(script.records)));
        for (int index = 0;; ++index) {
            const auto request = connection.ReceiveRecord<FileRequest>();
            if (request.command == kFileRequestEndOfTask) {
                outcome.endOfTask = request;
                return outcome;
            }
            const std::string name = RequestedName(request);
            outcome.requested.push_back(name);
            const auto file = script.files.find(name);
            const std::string content = file != script.files.end() ? file->second : std::string();
            if (index == script.endInRequest) {
                connection.Send(std::as_bytes(std::span(content.data(), content.size() / 2)));
                connection.FinishSending();
                connection.ExpectClosed();
                return outcome;
            }
            connection.Send(std::as_bytes(std::span(content.data(), content.size())));
        }
    } catch (const qelsrv::TransferError& error) {
        outcome.error = error.what();
    }
    return outcome;
}

} // namespace e2e
