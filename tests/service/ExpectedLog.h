// The log lines the service writes, as bytes: the messages come from the one
// table of GBK texts (tests/support/Messages.h), spelled out apart from the
// core's sources, so that a core compiled without the GBK execution character
// set fails these tests.
#pragma once

#include "Messages.h"

#include <string>

namespace expected {

// "QELCltCore.exe: " in front of every message.
inline const std::string kModulePrefix = "QELCltCore.exe: ";

// "QEK_CORE: 缓存写入开关标志为(<flag>)"
inline std::string FlagLine(int flag)
{
    return kModulePrefix + qeltest::msg::WriteModeFlag(flag);
}

// "初始化环境成功，开始工作.."
inline std::string SuccessLine()
{
    return kModulePrefix + qeltest::msg::StartedWork();
}

// "初始化环境失败:<error code>,<system error code>"
inline std::string StartFailureLine(int errorCode, int systemErrorCode)
{
    return kModulePrefix + qeltest::msg::StartFailed(errorCode, systemErrorCode);
}

// "初始化环境失败:<exception text>"
inline std::string StartExceptionLine(const std::string& what)
{
    return kModulePrefix + qeltest::msg::StartFailedWith(what);
}

// "QEK_CORE: 删除游戏任务完成(", the start of the message of the log's own tests.
inline const std::string kDeleteGameDoneFormatStart =
    std::string(qeltest::msg::kCorePrefix) + qeltest::msg::kDeleteGameTask + qeltest::msg::kDone + "(";

// The whole log file with every line's time stamp replaced by "T": each line
// of `texts` becomes "T <text>\r\n".
std::string Lines(std::initializer_list<std::string> texts);

// The stop's closing lines: a line holding only the time stamp and a space,
// then an empty line.
inline const std::string kClosingLines = "T \r\n\r\n";

// `log` with the 19-byte time stamp at the start of each line replaced by "T".
// A line start whose bytes are not a well-formed time stamp is left as it is,
// so that the comparison fails.
std::string MaskTimeStamps(const std::string& log);

} // namespace expected
