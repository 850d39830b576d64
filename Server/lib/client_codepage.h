// The client's ANSI code page as the server tool speaks it: names go from the
// server's own text (UTF-8 on POSIX, UTF-16 file names and the ANSI command
// line on Windows) to the client's code page (936 by default, 1252, 65001),
// and text in that code page is walked character by character (a GBK
// character's second byte may be 0x5C '\', 0x7C '|' or a letter).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qelsrv {

constexpr uint32_t kDefaultClientCodePage = 936;

// 936, 1252 and 65001.
bool IsSupportedClientCodePage(uint32_t codePage);

// The length of the character at text[at] in `codePage`: 2 for a GBK lead
// byte (0x81 to 0xFE) with a byte after it, else 1 (UTF-8 never holds an
// ASCII byte inside a character, so it is walked byte by byte).
size_t ClientCharLength(uint32_t codePage, std::string_view text, size_t at);

// Command-line text (UTF-8 on POSIX, the ANSI code page on Windows) in the
// client's code page; nullopt when a character has no place in it.
std::optional<std::string> ArgumentToClient(std::string_view text, uint32_t codePage);

// A file name of the server's folder in the client's code page; nullopt when
// a character has no place in it (or the POSIX name is no UTF-8).
std::optional<std::string> FileNameToClient(const std::filesystem::path& name, uint32_t codePage);

// Client text back in the server's terminal encoding (UTF-8 on POSIX), for
// messages; a byte that does not convert is shown as '?'.
std::string ClientToDisplay(std::string_view text, uint32_t codePage);

// ASCII letters lowered, character by character (double-byte characters kept).
std::string ClientAsciiLower(std::string_view text, uint32_t codePage);

// The text ends in a real backslash (not the second byte of a character).
bool EndsWithBackslash(std::string_view text, uint32_t codePage);

// The offset of the first of `characters` (single-byte ones) at or after
// `from`, character by character, or npos.
size_t FindFirstOf(std::string_view text, std::string_view characters, uint32_t codePage, size_t from = 0);

} // namespace qelsrv
