#include "dirsync/SyncRoots.h"

#include "base/LogFile.h"
#include "base/Owners.h"
#include "base/SystemNames.h"
#include "filetask/LinkOwners.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace qek {

namespace {

constexpr char kFirstDrive = 'c';
constexpr char kLastDrive = 'z';

// "%s%s" of two texts into `out`, or false when it does not fit.
bool Concatenate(char (&out)[kPathBufferSize], const char* first, const char* second)
{
    return JoinPath(out, first, second);
}

bool IsDirectoryEntry(const char* path)
{
    WIN32_FIND_DATAA entry{};
    const UniqueFindHandle search(FindFirstFileA(path, &entry));
    return search.IsValid() && (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The volume and file index of a directory: the same for every name that
// leads to it.
struct DirectoryIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;

    bool operator==(const DirectoryIdentity&) const = default;
};

std::optional<DirectoryIdentity> IdentityOf(const std::string& directory)
{
    const UniqueHandle handle(CreateFileA(directory.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.IsValid()) {
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle.Get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return std::nullopt;
    }
    return DirectoryIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

} // namespace

void RemoveTrailingBackslash(char* path)
{
    const size_t length = std::strlen(path);
    if (SystemNames().EndsWithCharacter(std::string_view(path, length), '\\')) {
        path[length - 1] = '\0';
    }
}

bool BuildCandidatePath(char (&candidate)[kPathBufferSize], const char* basePath)
{
    const char* prefix = "c:\\";
    if (basePath[0] != '\0' && basePath[1] == ':') {
        prefix = "";
    } else if (basePath[0] == '\\') {
        prefix = "c:";
    }
    return Concatenate(candidate, prefix, basePath);
}

bool CandidateNamesNoDirectory(const char* candidate)
{
    const std::optional<DrivePath> path = SystemNames().ParseDrivePath(candidate);
    return !path.has_value() || path->components.empty() || path->endsWithBackslash;
}

bool RootFits(const char* candidate, const char* subPath)
{
    return std::strlen(candidate) + std::strlen(subPath) < kPathBufferSize;
}

SyncRoots FindSyncRoots(TaskParams& params, char (&candidate)[kPathBufferSize])
{
    std::vector<std::string> found;
    for (char letter = kFirstDrive; letter <= kLastDrive; ++letter) {
        if (params.excludeDrive != 0 && params.excludeDriveLetter == letter) {
            continue;
        }
        candidate[0] = letter;
        if (!IsDirectoryEntry(candidate)) {
            continue;
        }
        char root[kPathBufferSize];
        Concatenate(root, candidate, params.subPath); // fits: RootFits
        if (const std::optional<UntrustedLink> link = FindUntrustedLink(root)) {
            if (link->error == 0) {
                Log(ModuleLog(), "QEK_CORE: 目录(文件)同步任务,同步目录路径上的链接不属于管理员或系统,不同步(%s)(%s)",
                    root, link->path.c_str());
            } else {
                Log(ModuleLog(), "QEK_CORE: 目录(文件)同步任务,检查同步目录路径上的链接失败,不同步(%s)(%s)(%d)", root,
                    link->path.c_str(), link->error);
            }
            continue;
        }
        static_assert(sizeof(root) == sizeof(params.gamePath));
        std::memcpy(params.gamePath, root, sizeof(root));
        found.emplace_back(root);
    }
    SyncRoots roots;
    if (!found.empty()) {
        roots.primary = std::move(found.back());
        found.pop_back();
        roots.copies = std::move(found);
    }
    return roots;
}

void DropAliasedCopyRoots(SyncRoots& roots)
{
    std::vector<DirectoryIdentity> served;
    if (const std::optional<DirectoryIdentity> primary = IdentityOf(roots.primary)) {
        served.push_back(*primary);
    }
    std::vector<std::string> kept;
    for (std::string& root : roots.copies) {
        const std::optional<DirectoryIdentity> identity = IdentityOf(root);
        if (identity && std::find(served.begin(), served.end(), *identity) != served.end()) {
            Log(ModuleLog(), "QEK_CORE: 目录(文件)同步任务,复制目录与已同步目录相同,不复制(%s)", root.c_str());
            continue;
        }
        if (identity) {
            served.push_back(*identity);
        }
        kept.push_back(std::move(root));
    }
    roots.copies = std::move(kept);
}

} // namespace qek
