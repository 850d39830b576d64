#include "maintenance/DriveList.h"

#include <windows.h>

#include <cstring>

namespace qek {

std::vector<std::string> LogicalDriveRoots()
{
    const DWORD size = GetLogicalDriveStringsA(0, nullptr);
    // Zeroed and one byte longer than asked for: the walk below stops at an
    // empty string inside the buffer even if the second call fills less (a
    // drive went away in between) or nothing (the list grew).
    std::vector<char> buffer(static_cast<std::size_t>(size) + 1, '\0');
    GetLogicalDriveStringsA(size, buffer.data());

    std::vector<std::string> roots;
    const char* const end = buffer.data() + buffer.size();
    for (const char* root = buffer.data(); root < end && *root != '\0';) {
        const std::size_t length = strnlen(root, static_cast<std::size_t>(end - root));
        roots.emplace_back(root, length);
        root += length + 1;
    }
    return roots;
}

} // namespace qek
