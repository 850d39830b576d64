// Files on the host side of a drive or of the server's folder, read and made
// without the Win32 layer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace qeltest {

// The whole file; nullopt when it cannot be opened.
std::optional<std::string> ReadHostFile(const std::filesystem::path& path);

// `size` bytes of a pattern that depends on `seed`, so that files differ
// (`start` sets the pattern family: the end-to-end suites use their own).
std::string Pattern(uint64_t size, uint32_t seed, uint32_t start = 12345u);

} // namespace qeltest
