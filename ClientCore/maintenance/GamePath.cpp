#include "maintenance/GamePath.h"

#include <cstring>
#include <string_view>

namespace {

char UpperCase(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// "D:\...": a drive letter's place, a colon, then a backslash.
bool IsAbsoluteOnDrive(std::string_view path)
{
    return path.size() >= 3 && path[1] == ':' && path[2] == '\\';
}

// `below` is the path after "D:", trailing backslashes removed. The name after
// its last backslash and the one before must both be there, and the one before
// must not be empty.
bool HasTwoNamedLevels(std::string_view below)
{
    const std::size_t last = below.rfind('\\');
    if (last == std::string_view::npos) {
        return false;
    }
    const std::size_t previous = below.substr(0, last).rfind('\\');
    return previous != std::string_view::npos && previous + 1 != last;
}

bool IsOnlyDotsAndSpaces(std::string_view name)
{
    return name.find_first_not_of(". ") == std::string_view::npos;
}

// Windows folds "." and ".." (and names of dots and spaces, whose trailing
// dots and spaces it strips) into the levels around them.
bool HasFoldingName(std::string_view below)
{
    std::size_t start = 0;
    while (start <= below.size()) {
        std::size_t end = below.find('\\', start);
        if (end == std::string_view::npos) {
            end = below.size();
        }
        const std::string_view name = below.substr(start, end - start);
        if (!name.empty() && IsOnlyDotsAndSpaces(name)) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Windows reads '/' as a separator too; the server's paths use backslashes,
// so a slash could only hide a level from the rules above.
bool HasForwardSlash(std::string_view below)
{
    return below.find('/') != std::string_view::npos;
}

} // namespace

bool IsValidSecondLevelPath(const char* path)
{
    std::string_view text(path, strnlen(path, kGamePathBufferSize));
    if (text.size() >= kGamePathBufferSize || !IsAbsoluteOnDrive(text)) {
        return false;
    }
    // Every trailing backslash goes, not only two: "D:\x\\\" is still D:\x.
    while (text.back() == '\\') {
        text.remove_suffix(1);
    }
    const std::string_view below = text.substr(2);
    return HasTwoNamedLevels(below) && !HasFoldingName(below) && !HasForwardSlash(below);
}

bool IsSystemDrive(char driveLetter, char systemDriveLetter)
{
    return UpperCase(driveLetter) == UpperCase(systemDriveLetter);
}
