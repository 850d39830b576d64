// The task records as the server sends them: the first 668 bytes are a
// TaskParams record (zeros fill a shorter input), the rest is a delete game
// payload. The record goes through the checks of the update task (fields
// ended, the game path's room, the check file's path, the delete policy) and of the
// directory sync task (fields ended, the sub-path, the candidate and its
// roots); the payload through the delete game path rule as the task applies
// it to each drive letter.
#include "base/Paths.h"
#include "base/SystemNames.h"
#include "dirsync/SyncRoots.h"
#include "maintenance/GamePath.h"
#include "protocol/FileTaskRecords.h"
#include "update/UpdateTask.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace qek;

namespace {

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "task_params property failed: %s\n", what);
        std::abort();
    }
}

void CheckUpdate(const TaskParams& params)
{
    if (!HasTerminator(params.gameVersion, sizeof(params.gameVersion)) ||
        !HasTerminator(params.gamePath, sizeof(params.gamePath)) || std::strlen(params.gamePath) > kMaxGamePathBytes) {
        return;
    }
    char checkList[kPathBufferSize];
    Require(BuildCheckListPath(checkList, sizeof(checkList), params.gamePath),
            "a usable game path leaves no room for the check file");
    const std::string expected = std::string(params.gamePath) + "tarngamever\\QELFilesInfo.dat.tmp";
    Require(expected == checkList, "check file path");
    const DeletePolicy policy = DeletePolicyFor(params.gamePath);
    Require(policy == DeletePolicy::KeepUnlisted || policy == DeletePolicy::DeleteUnlisted,
            "a delete policy of its own");
}

void CheckDirectorySync(TaskParams params)
{
    if (!HasTerminator(params.gamePath, sizeof(params.gamePath)) ||
        !HasTerminator(params.subPath, sizeof(params.subPath)) || !SystemNames().IsUsableSubPath(params.subPath)) {
        return;
    }
    RemoveTrailingBackslash(params.gamePath);
    char candidate[kPathBufferSize];
    if (!BuildCandidatePath(candidate, params.gamePath)) {
        Require(candidate[0] == '\0', "a candidate that does not fit is not emptied");
        return;
    }
    Require(std::strlen(candidate) >= 2 && candidate[1] == ':', "a candidate without its drive");
    if (!RootFits(candidate, params.subPath) || CandidateNamesNoDirectory(candidate)) {
        return;
    }
    Require(std::strpbrk(candidate, "*?") == nullptr, "a candidate with wildcards");
    for (char letter = 'c'; letter <= 'z'; ++letter) {
        candidate[0] = letter;
        char root[kPathBufferSize];
        Require(JoinPath(root, candidate, params.subPath), "a root that was said to fit does not");
        Require(root[std::strlen(root) - 1] == '\\', "a root without its final backslash");
    }
}

// As the delete game task reads its payload: zeroed, one byte longer than
// sent, at least two bytes.
void CheckDeleteGame(const uint8_t* payload, size_t length)
{
    std::vector<char> path(std::max<size_t>(length, 1) + 1, '\0');
    std::memcpy(path.data(), payload, length);
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        path[0] = letter;
        if (!IsValidSecondLevelPath(path.data(), SystemNames())) {
            continue;
        }
        const std::string text(path.data());
        Require(text.size() < kGamePathBufferSize, "a game path too long for the work buffers");
        Require(text[1] == ':' && text[2] == '\\', "a game path not absolute on a drive");
        Require(text.find('/') == std::string::npos, "a game path with a forward slash");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TaskParams params{};
    std::memcpy(&params, data, std::min(size, sizeof(params)));
    CheckUpdate(params);
    CheckDirectorySync(params);
    if (size > sizeof(params)) {
        CheckDeleteGame(data + sizeof(params), size - sizeof(params));
    }
    return 0;
}
