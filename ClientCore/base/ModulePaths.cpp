#include "base/ModulePaths.h"

#include "base/SystemNames.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace qek {

bool GetExecutableDirectory(char* buffer, std::size_t size)
{
    if (size == 0) {
        return false;
    }
    buffer[0] = '\0';
    const DWORD length = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
    // A path that filled the buffer was cut short (and older systems leave it
    // unterminated): its directory would be wrong, so none is given.
    if (length == 0 || length >= size) {
        buffer[0] = '\0';
        return false;
    }
    buffer[length] = '\0';
    // Character by character: a folder named in GBK can end in a byte that
    // reads as a backslash.
    const std::size_t lastBackslash = SystemNames().FindLastCharacter(std::string_view(buffer, length), '\\');
    if (lastBackslash == std::string_view::npos) {
        buffer[0] = '\0';
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    buffer[lastBackslash + 1] = '\0';
    return true;
}

bool AppendIfFits(char* buffer, std::size_t size, const char* suffix)
{
    const std::size_t used = static_cast<std::size_t>(std::find(buffer, buffer + size, '\0') - buffer);
    const std::size_t added = std::strlen(suffix);
    if (used >= size || added >= size - used) {
        return false;
    }
    std::memcpy(buffer + used, suffix, added + 1);
    return true;
}

} // namespace qek
