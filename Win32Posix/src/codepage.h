// The process's ANSI code page and the conversions at the host edge: the
// A-calls take and give text in the code page (QEL_CODEPAGE: 936, the
// default, 1252 or 65001), the host's file system holds UTF-8 names.
// Conversions use the C library's iconv; all functions are thread-safe.
#ifndef QEL_WIN32POSIX_CODEPAGE_H
#define QEL_WIN32POSIX_CODEPAGE_H

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace win32posix {

constexpr UINT kDefaultCodePage = 936;

// The process code page from QEL_CODEPAGE (re-read when the value changes),
// or nullopt when the value names no supported code page; that is reported
// once per distinct value on stderr, and every call that converts a name then
// fails with ERROR_BAD_ENVIRONMENT.
std::optional<UINT> ProcessCodePage();

// The code page that text is split by: the process code page, or the default
// when QEL_CODEPAGE is bad (the conversions fail then anyway).
UINT ActiveCodePage();

// True for 936, 1252 and 65001.
bool IsSupportedCodePage(UINT codePage);

// A lead byte of a double-byte character in `codePage` (936: 0x81 to 0xFE).
bool IsLeadByteIn(UINT codePage, unsigned char byte);

// The length in bytes of the character that starts at text[at] (at <
// text.size()): 2 for a lead byte followed by a byte in `codePage` 936, the
// length of a well-formed UTF-8 sequence in 65001, else 1. Never runs past
// the text's end.
size_t CharLengthAt(UINT codePage, std::string_view text, size_t at);

// Text in `codePage` to UTF-8; nullopt when it holds a byte sequence that
// the code page does not define (no character stands for it on the host).
std::optional<std::string> CodePageToUtf8(UINT codePage, std::string_view text);

// UTF-8 to `codePage`; a character the code page cannot represent, or a byte
// that is no part of well-formed UTF-8, becomes `fallback` (once per
// character or byte), and *lossless (if given) tells whether none did.
std::string Utf8ToCodePage(UINT codePage, std::string_view text, char fallback = '?', bool* lossless = nullptr);

// The same with the process code page. ToHost returns nullopt when the
// text cannot be converted (bad bytes, or a bad QEL_CODEPAGE: *badEnvironment
// is then set); FromHost falls back to the default code page when
// QEL_CODEPAGE is bad.
std::optional<std::string> ToHost(std::string_view ansi, bool* badEnvironment = nullptr);
std::string FromHost(std::string_view utf8, bool* lossless = nullptr);

} // namespace win32posix

#endif
