// The client's ANSI code page as the server tool speaks it: names go from the
// server's own text (UTF-8 on POSIX, UTF-16 file names and the ANSI command
// line on Windows) to the client's code page (936 by default, 1252, 65001),
// and text in that code page is walked character by character by the
// clients' own name rules (a GBK character's second byte may be 0x5C '\',
// 0x7C '|' or a letter).
#pragma once

#include "protocol/Names.h"

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

// The name rules of the clients (Protocol/) in `codePage`: GBK's double-byte
// characters in 936; byte by byte in 1252 and 65001 (UTF-8 never holds an
// ASCII byte inside a character).
const qek::NameRules& ClientNames(uint32_t codePage);

// Command-line text (UTF-8 on POSIX, the ANSI code page on Windows) in the
// client's code page; nullopt when a character has no place in it.
std::optional<std::string> ArgumentToClient(std::string_view text, uint32_t codePage);

// A file name of the server's folder in the client's code page; nullopt when
// a character has no place in it (or the POSIX name is no UTF-8).
std::optional<std::string> FileNameToClient(const std::filesystem::path& name, uint32_t codePage);

// Client text back in the server's terminal encoding (UTF-8 on POSIX), for
// messages; a byte that does not convert is shown as '?'.
std::string ClientToDisplay(std::string_view text, uint32_t codePage);

} // namespace qelsrv
