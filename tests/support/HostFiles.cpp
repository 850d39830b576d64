#include "HostFiles.h"

#include <fstream>
#include <sstream>

namespace qeltest {

std::optional<std::string> ReadHostFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Pattern(uint64_t size, uint32_t seed, uint32_t start)
{
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + start;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

} // namespace qeltest
