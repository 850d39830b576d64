#include "base/Paths.h"

#include "base/SystemNames.h"

#include <cstring>
#include <string_view>

namespace qek {

bool JoinPath(char* out, size_t outSize, const char* first, const char* second)
{
    const size_t firstLength = std::strlen(first);
    const size_t secondLength = std::strlen(second);
    if (outSize == 0) {
        return false;
    }
    if (firstLength + secondLength >= outSize) {
        out[0] = '\0';
        return false;
    }
    std::memcpy(out, first, firstLength);
    std::memcpy(out + firstLength, second, secondLength + 1);
    return true;
}

bool HasTerminator(const char* field, size_t size)
{
    return std::memchr(field, 0, size) != nullptr;
}

bool IsSafeEntryName(const char* name, size_t fieldSize)
{
    const void* nul = std::memchr(name, 0, fieldSize);
    return nul != nullptr && SystemNames().IsSafeEntryName(
                                 std::string_view(name, static_cast<size_t>(static_cast<const char*>(nul) - name)));
}

} // namespace qek
