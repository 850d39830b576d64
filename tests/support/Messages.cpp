#include "Messages.h"

namespace qeltest::msg {

namespace {

const std::string kCore = kCorePrefix;
const std::string kPrefix = kCorePrefix;
// 目录(文件)同步任务
const std::string kSyncTask = "\xc4\xbf\xc2\xbc(\xce\xc4\xbc\xfe)\xcd\xac\xb2\xbd\xc8\xce\xce\xf1";
const std::string kDiskInfoTask =
    "\xbb\xf1\xc8\xa1\xb4\xc5\xc5\xcc\xd0\xc5\xcf\xa2\xc8\xce\xce\xf1"; // 获取磁盘信息任务
const std::string kFailed = "\xca\xa7\xb0\xdc";                         // 失败
// 初始化环境失败
const std::string kStartFailed = "\xb3\xf5\xca\xbc\xbb\xaf\xbb\xb7\xbe\xb3\xca\xa7\xb0\xdc";

std::string N(int value)
{
    return std::to_string(value);
}

std::string InParentheses(const std::string& text)
{
    return "(" + text + ")";
}

} // namespace

// ---- The service --------------------------------------------------------------

std::string WriteModeFlag(int flag)
{
    // 缓存写入开关标志为
    return kPrefix + "\xbb\xba\xb4\xe6\xd0\xb4\xc8\xeb\xbf\xaa\xb9\xd8\xb1\xea\xd6\xbe\xce\xaa" +
           InParentheses(std::to_string(flag));
}

std::string StartedWork()
{
    // 初始化环境成功，开始工作..
    return "\xb3\xf5\xca\xbc\xbb\xaf\xbb\xb7\xbe\xb3\xb3\xc9\xb9\xa6\xa3\xac\xbf\xaa\xca\xbc\xb9\xa4\xd7\xf7..";
}

std::string StartFailed(int errorCode, int systemErrorCode)
{
    // 初始化环境失败:<error code>,<system error code>
    return kStartFailed + ":" + N(errorCode) + "," + N(systemErrorCode);
}

std::string StartFailedWith(const std::string& what)
{
    // 初始化环境失败:<exception text>
    return kStartFailed + ":" + what;
}

// ---- A task's request, its check list and its files ------------------------------

std::string ReceiveParamsFailed(int code)
{
    // 获取服务器任务请求失败(
    return kCore + "\xbb\xf1\xc8\xa1\xb7\xfe\xce\xf1\xc6\xf7\xc8\xce\xce\xf1\xc7\xeb\xc7\xf3\xca\xa7\xb0\xdc(" +
           N(code) + ")";
}

std::string StartCheckFile(const std::string& path)
{
    // 开始处理服务器数据检查文件(
    return kCore +
           "\xbf\xaa\xca\xbc\xb4\xa6\xc0\xed\xb7\xfe\xce\xf1\xc6\xf7\xca\xfd\xbe\xdd\xbc\xec\xb2\xe9\xce\xc4\xbc\xfe(" +
           path + ")";
}

std::string CheckFileFailed(int code)
{
    // 处理服务器数据检查文件失败(
    return kCore +
           "\xb4\xa6\xc0\xed\xb7\xfe\xce\xf1\xc6\xf7\xca\xfd\xbe\xdd\xbc\xec\xb2\xe9\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc(" +
           N(code) + ")";
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

std::string DownloadFailedPrefix(const std::string& name)
{
    // 下载文件失败(%s)(
    return kCore + "\xcf\xc2\xd4\xd8\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc(" + name + ")(";
}

std::string DownloadFailed(const std::string& name, int code)
{
    return DownloadFailedPrefix(name) + N(code) + ")";
}

// ---- The game update ------------------------------------------------------------

std::string VersionsAgree(const std::string& gamePath, const std::string& version)
{
    // 版本一致放弃更新.(
    return kCore + "\xb0\xe6\xb1\xbe\xd2\xbb\xd6\xc2\xb7\xc5\xc6\xfa\xb8\xfc\xd0\xc2.(" + gamePath + ")(" + version +
           ")";
}

std::string CheckListTooLarge(const std::string& path, uint32_t size)
{
    // 服务器数据检查文件大小超过磁盘剩余空间,放弃处理(
    return kCore +
           "\xb7\xfe\xce\xf1\xc6\xf7\xca\xfd\xbe\xdd\xbc\xec\xb2\xe9\xce\xc4\xbc\xfe\xb4\xf3\xd0\xa1\xb3\xac"
           "\xb9\xfd\xb4\xc5\xc5\xcc\xca\xa3\xd3\xe0\xbf\xd5\xbc\xe4,\xb7\xc5\xc6\xfa\xb4\xa6\xc0\xed(" +
           path + ")(" + std::to_string(size) + ")";
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

std::string GamePathTooLong(const std::string& gamePath)
{
    // 游戏路径过长,放弃更新(
    return kCore + "\xd3\xce\xcf\xb7\xc2\xb7\xbe\xb6\xb9\xfd\xb3\xa4,\xb7\xc5\xc6\xfa\xb8\xfc\xd0\xc2(" + gamePath +
           ")";
}

std::string GamePathInvalid(const std::string& gamePath)
{
    // 游戏路径不合法,放弃更新(
    return kCore + "\xd3\xce\xcf\xb7\xc2\xb7\xbe\xb6\xb2\xbb\xba\xcf\xb7\xa8,\xb7\xc5\xc6\xfa\xb8\xfc\xd0\xc2(" +
           gamePath + ")";
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

namespace update {

std::string TaskDone(int files, int taskId, const std::string& gamePath)
{
    // 下载任务完成,下载文件数目= ... ,任务ID( ... ),路径( ... )
    return kCore +
           "\xcf\xc2\xd4\xd8\xc8\xce\xce\xf1\xcd\xea\xb3\xc9,\xcf\xc2\xd4\xd8\xce\xc4\xbc\xfe\xca\xfd\xc4\xbf=" +
           N(files) + ",\xc8\xce\xce\xf1" + "ID(" + N(taskId) + "),\xc2\xb7\xbe\xb6(" + gamePath + ")";
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

std::string PathTooLong(const std::string& root, const std::string& name)
{
    // QELDtFile文件路径过长，分析下载信息失败(
    return kCore + "QELDtFile" +
           "\xce\xc4\xbc\xfe\xc2\xb7\xbe\xb6\xb9\xfd\xb3\xa4\xa3\xac\xb7\xd6\xce\xf6\xcf\xc2\xd4\xd8\xd0\xc5\xcf\xa2"
           "\xca\xa7\xb0\xdc(" +
           root + ")(" + name + ")";
}

} // namespace update

// ---- The directory sync ---------------------------------------------------------

std::string NotFound(const std::string& basePath)
{
    // 目录(文件)同步任务,指定根目录不存在(
    return kCore + kSyncTask + ",\xd6\xb8\xb6\xa8\xb8\xf9\xc4\xbf\xc2\xbc\xb2\xbb\xb4\xe6\xd4\xda(" + basePath + ")";
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

std::string BadSubPath(const std::string& subPath)
{
    // 目录(文件)同步任务,子目录不合法(
    return kCore + kSyncTask + ",\xd7\xd3\xc4\xbf\xc2\xbc\xb2\xbb\xba\xcf\xb7\xa8(" + subPath + ")";
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

std::string RootThroughUntrustedLink(const std::string& root, const std::string& link)
{
    // 目录(文件)同步任务,同步目录路径上的链接不属于管理员或系统,不同步(
    return kCore + kSyncTask +
           ",\xcd\xac\xb2\xbd\xc4\xbf\xc2\xbc\xc2\xb7\xbe\xb6\xc9\xcf\xb5\xc4\xc1\xb4\xbd\xd3\xb2\xbb\xca\xf4\xd3"
           "\xda\xb9\xdc\xc0\xed\xd4\xb1\xbb\xf2\xcf\xb5\xcd\xb3,\xb2\xbb\xcd\xac\xb2\xbd(" +
           root + ")(" + link + ")";
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

namespace dirsync {

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

std::string PathTooLong(const std::string& basePath, const std::string& subPath)
{
    // 目录(文件)同步任务,同步目录路径过长(
    return kCore + kSyncTask + ",\xcd\xac\xb2\xbd\xc4\xbf\xc2\xbc\xc2\xb7\xbe\xb6\xb9\xfd\xb3\xa4(" + basePath + ")(" +
           subPath + ")";
}

} // namespace dirsync

// ---- Delete game, disk info, and a task that throws ------------------------------

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

std::string DeleteSkip(const std::string& path)
{
    // 删除游戏任务跳过不合法的二级路径
    return kPrefix + kDeleteGameTask +
           "\xcc\xf8\xb9\xfd\xb2\xbb\xba\xcf\xb7\xa8\xb5\xc4\xb6\xfe\xbc\xb6\xc2\xb7\xbe\xb6" + InParentheses(path);
}

std::string DeleteSkipUntrustedLink(const std::string& path, const std::string& link)
{
    // 删除游戏任务跳过路径上不属于管理员或系统的链接
    return kPrefix + kDeleteGameTask +
           "\xcc\xf8\xb9\xfd\xc2\xb7\xbe\xb6\xc9\xcf\xb2\xbb\xca\xf4\xd3\xda\xb9\xdc\xc0\xed\xd4\xb1\xbb\xf2\xcf\xb5"
           "\xcd\xb3\xb5\xc4\xc1\xb4\xbd\xd3" +
           InParentheses(path) + InParentheses(link);
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

} // namespace qeltest::msg
