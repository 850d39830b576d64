// The log lines the service writes, as bytes: the GBK (code page 936) texts
// are spelled out here in hex, encoded apart from the core's sources, so that
// a core compiled without the GBK execution character set fails these tests.
#pragma once

#include <string>

namespace expected {

// "QELCltCore.exe: " in front of every message.
inline const std::string kModulePrefix = "QELCltCore.exe: ";

// "QEK_CORE: 缓存写入开关标志为(<flag>)"
inline std::string FlagLine(int flag)
{
    return kModulePrefix + "QEK_CORE: " + "\xbb\xba\xb4\xe6\xd0\xb4\xc8\xeb\xbf\xaa\xb9\xd8\xb1\xea\xd6\xbe\xce\xaa" +
           "(" + std::to_string(flag) + ")";
}

// "初始化环境成功，开始工作.."
inline std::string SuccessLine()
{
    return kModulePrefix + "\xb3\xf5\xca\xbc\xbb\xaf\xbb\xb7\xbe\xb3\xb3\xc9\xb9\xa6\xa3\xac\xbf\xaa\xca\xbc\xb9\xa4"
                           "\xd7\xf7"
                           "..";
}

// "初始化环境失败:<error code>,<system error code>"
inline std::string StartFailureLine(int errorCode, int systemErrorCode)
{
    return kModulePrefix + "\xb3\xf5\xca\xbc\xbb\xaf\xbb\xb7\xbe\xb3\xca\xa7\xb0\xdc" + ":" +
           std::to_string(errorCode) + "," + std::to_string(systemErrorCode);
}

// "初始化环境失败:<exception text>"
inline std::string StartExceptionLine(const std::string& what)
{
    return kModulePrefix + "\xb3\xf5\xca\xbc\xbb\xaf\xbb\xb7\xbe\xb3\xca\xa7\xb0\xdc" + ":" + what;
}

// "QEK_CORE: 删除游戏任务完成(" as GBK bytes, the message of the log's own tests.
inline const std::string kDeleteGameDoneFormatStart =
    "QEK_CORE: \xc9\xbe\xb3\xfd\xd3\xce\xcf\xb7\xc8\xce\xce\xf1\xcd\xea\xb3\xc9(";

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
