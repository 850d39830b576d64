#include "protocol/DeleteGame.h"

#include "protocol/Names.h"

#include <cstring>
#include <optional>

namespace qek::inline protocol {

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

} // namespace qek::inline protocol
