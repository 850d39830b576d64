#include "protocol/DeleteGame.h"

#include <cstring>
#include <optional>

namespace qek::inline protocol {

bool IsValidSecondLevelPath(const char* path, const NameRules& names)
{
    const std::string_view text(path, strnlen(path, kGamePathBufferSize));
    if (text.size() >= kGamePathBufferSize) {
        return false;
    }
    // Every trailing backslash goes, not only two: "D:\x\\\" is still D:\x.
    const std::optional<DrivePath> parsed = names.ParseDrivePath(names.TrimTrailingCharacter(text, '\\'));
    return parsed.has_value() && parsed->components.size() >= 2;
}

} // namespace qek::inline protocol
