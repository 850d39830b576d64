#include "service/WriteModeSetting.h"

#include <windows.h>

namespace qek {

namespace {

constexpr const char* kSettingKey = "SOFTWARE\\Tarnwell1\\LomvarkPro";
constexpr const char* kSettingValueName = "QELClt_NoBufWrite";

} // namespace

WriteMode WriteModeFromValue(const unsigned char (&value)[kWriteModeValueBufferSize])
{
    // Text equal to "1": the first byte is '1' and the second ends the text.
    // Both bytes are always inside the buffer, whatever the value held.
    return value[0] == '1' && value[1] == '\0' ? WriteMode::Unbuffered : WriteMode::Buffered;
}

WriteMode ReadWriteModeSetting()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return WriteMode::Buffered;
    }
    // The query's result and the value's type are not examined: a value that
    // is missing, too long for the buffer, or not text leaves bytes that are
    // not the text "1".
    unsigned char value[kWriteModeValueBufferSize] = {};
    DWORD size = sizeof value;
    RegQueryValueExA(key, kSettingValueName, nullptr, nullptr, value, &size);
    const WriteMode mode = WriteModeFromValue(value);
    RegCloseKey(key);
    return mode;
}

} // namespace qek
