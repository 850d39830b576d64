#include "DirSyncFixture.h"

#include "protocol/TaskRecords.h"

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

fs::path ExecutableFolder()
{
    return fs::read_symlink("/proc/self/exe").parent_path();
}

} // namespace

Workspace::Workspace() : folders_("qel-dirsync")
{
    for (char letter : kDriveLetters) {
        drives_.emplace_back(letter, folders_.Root() / std::string(1, letter));
        fs::create_directories(drives_.back().second);
    }
    fs::create_directories(ServerFolder());
    ApplyDriveMap();
    const fs::path log = folders_.Root() / "log" / "qeclt.log";
    folders_.OpenModuleLog(qeltest::LayerPathOfHost(log), log);
}

Workspace::~Workspace() = default;

void Workspace::ApplyDriveMap()
{
    std::string map;
    for (const auto& [letter, folder] : drives_) {
        map += std::string(1, static_cast<char>(letter - 'a' + 'A')) + "=" + folder.string() + ";";
    }
    folders_.SetVariable("QEL_DRIVES", map);
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

void PutFile(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << path;
}

std::optional<uint64_t> FileTimeOf(const fs::path& path)
{
    const std::optional<qelsrv::EntryState> state = qelsrv::ReadEntryState(path);
    if (!state) {
        return std::nullopt;
    }
    return state->fileTime;
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
    return qeltest::LayerPathOfHost(ExecutableFolder()) + "\\..\\Data\\qelsyncfiles_dst.dat";
}

bool Contains(const std::vector<std::string>& messages, const std::string& message)
{
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

} // namespace dstest
