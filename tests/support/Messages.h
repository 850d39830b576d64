// The client's log messages as GBK (code page 936) bytes: one table for every
// suite. The texts are spelled out here in hex, apart from the core's
// sources (which the compiler encodes with -fexec-charset=GBK), so that a
// core whose texts or encoding went wrong fails the tests that compare them.
// A message is the text after "QELCltCore.exe: " on its log line, without
// the line end.
#pragma once

#include <cstdint>
#include <string>

namespace qeltest::msg {

// Pieces that other fixtures put together themselves.
constexpr char kCorePrefix[] = "QEK_CORE: ";
constexpr char kDeleteGameTask[] = "\xc9\xbe\xb3\xfd\xd3\xce\xcf\xb7\xc8\xce\xce\xf1"; // 删除游戏任务
constexpr char kDone[] = "\xcd\xea\xb3\xc9";                                           // 完成

// ---- The service --------------------------------------------------------------
std::string WriteModeFlag(int flag);
std::string StartedWork();
std::string StartFailed(int errorCode, int systemErrorCode);
std::string StartFailedWith(const std::string& what);

// ---- A task's request, its check list and its files (update and directory sync)
std::string ReceiveParamsFailed(int code);
std::string StartCheckFile(const std::string& path);
std::string CheckFileFailed(int code);
std::string CheckFileReceived(const std::string& path, int size);
std::string FilesToUpdate(int files, int high, int low);
std::string CreateFailed(const std::string& path, int code);
std::string Downloaded(const std::string& path, int high, int low);
std::string DownloadFailed(const std::string& name, int code);
// DownloadFailed up to the code's opening parenthesis.
std::string DownloadFailedPrefix(const std::string& name);

// ---- The game update ------------------------------------------------------------
std::string VersionsAgree(const std::string& gamePath, const std::string& version);
std::string CheckListTooLarge(const std::string& path, uint32_t size);
std::string Unmappable(int code);
std::string BadTag(int tag);
std::string EndOfTaskFailed(int code);
// Messages of the checks that guard against hostile input (unusable names,
// paths that do not fit, parameters without a terminator).
std::string BadName(const std::string& name);
std::string ReceiveBadName(const std::string& name);
std::string ReceivePathTooLong(const std::string& root, const std::string& name);
std::string GamePathTooLong(const std::string& gamePath);
std::string GamePathInvalid(const std::string& gamePath);
// A game path reached through a link that neither an administrator nor the
// system made, and that link.
std::string GamePathThroughUntrustedLink(const std::string& gamePath, const std::string& link);

namespace update {
std::string TaskDone(int files, int taskId, const std::string& gamePath);
std::string ParamsWithoutTerminator(int taskId);
std::string PathTooLong(const std::string& root, const std::string& name);
} // namespace update

// ---- The directory sync ---------------------------------------------------------
std::string NotFound(const std::string& basePath);
std::string WaitingForDataFile(const std::string& path);
std::string GaveUpWaitingForDataFile(const std::string& path);
std::string BadSubPath(const std::string& subPath);
std::string SameDirectory(const std::string& root);
// A root reached through a link that neither an administrator nor the system
// made, and that link.
std::string RootThroughUntrustedLink(const std::string& root, const std::string& link);
std::string CopyFailed(const std::string& destination, int code);
std::string CopyPathTooLong(const std::string& root, const std::string& name);

namespace dirsync {
std::string TaskDone(int files, int taskId, const std::string& root);
std::string ParamsWithoutTerminator(int taskId);
std::string PathTooLong(const std::string& basePath, const std::string& subPath);
} // namespace dirsync

// ---- Delete game, disk info, and a task that throws ------------------------------
std::string DiskInfoDone();
std::string DiskInfoFailed(int sendResult, int lastError);
std::string DeleteReceiveFailed(int code);
std::string DeleteStart(const std::string& rawPath);
std::string DeleteSkip(const std::string& path);
// A drive skipped because a component of the path there is a link that
// neither an administrator nor the system made.
std::string DeleteSkipUntrustedLink(const std::string& path, const std::string& link);
std::string DeleteDone(int replyResult);
// A delete request whose announced payload is above the bound: refused unread.
std::string DeleteRequestTooLong(uint32_t length);
// A task that ended by an exception, with the exception's text.
std::string TaskEndedByException(uint32_t taskType, const std::string& reason);

} // namespace qeltest::msg
