#include "maintenance/GamePath.h"

#include "service/Names.h"

#include <cstring>
#include <optional>
#include <string_view>

namespace {

char UpperCase(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

bool IsValidSecondLevelPath(const char* path)
{
    const std::string_view text(path, strnlen(path, kGamePathBufferSize));
    if (text.size() >= kGamePathBufferSize) {
        return false;
    }
    // Every trailing backslash goes, not only two: "D:\x\\\" is still D:\x.
    const std::optional<DrivePath> parsed = ParseDrivePath(TrimTrailingCharacter(text, '\\'));
    return parsed.has_value() && parsed->components.size() >= 2;
}

bool IsSystemDrive(char driveLetter, char systemDriveLetter)
{
    return UpperCase(driveLetter) == UpperCase(systemDriveLetter);
}
