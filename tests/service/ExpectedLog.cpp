#include "ExpectedLog.h"

#include <cctype>

namespace expected {
namespace {

// "YYYY-MM-DD hh:mm:ss"
bool IsTimeStamp(const std::string& text, std::size_t at)
{
    static const char kPattern[] = "dddd-dd-dd dd:dd:dd";
    if (text.size() - at < sizeof kPattern - 1) {
        return false;
    }
    for (std::size_t i = 0; i + 1 < sizeof kPattern; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[at + i]);
        if (kPattern[i] == 'd' ? !std::isdigit(c) : c != static_cast<unsigned char>(kPattern[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string Lines(std::initializer_list<std::string> texts)
{
    std::string result;
    for (const std::string& text : texts) {
        result += "T " + text + "\r\n";
    }
    return result;
}

std::string MaskTimeStamps(const std::string& log)
{
    std::string result;
    std::size_t at = 0;
    while (at < log.size()) {
        if (IsTimeStamp(log, at)) {
            result += "T";
            at += 19;
        }
        const std::size_t end = log.find("\r\n", at);
        const std::size_t next = end == std::string::npos ? log.size() : end + 2;
        result += log.substr(at, next - at);
        at = next;
    }
    return result;
}

} // namespace expected
