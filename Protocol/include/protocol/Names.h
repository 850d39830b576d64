// Names and paths in the client's ANSI code page (GBK on the PCs served): a
// lead byte and the byte after it form one character, and that second byte
// can be the byte of '\', '|' or a letter. Whatever looks for a separator or
// another character in a name steps over whole characters with these
// functions; nothing splits, compares or indexes backwards into a name byte by
// byte.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace qek::inline protocol {

// Whether `byte` begins a double-byte character in the ANSI code page of the
// program: the client asks its system (IsDBCSLeadByte), the server tool the
// code page of its clients. Each program that links these rules defines it.
bool IsLeadByte(unsigned char byte);

// The length in bytes (1 or 2) of the character that starts at `at`. A lead
// byte before the end, or before a byte below 0x40 (no second byte of a
// double-byte character is that low), stands alone.
std::size_t CharacterLength(std::string_view text, std::size_t at);

// Where the single-byte character `c` first stands as a character of its own
// in `text`, from `from` on (a character boundary); npos when nowhere.
std::size_t FindCharacter(std::string_view text, char c, std::size_t from = 0);

// Where `c` stands last as a character of its own; npos when nowhere.
std::size_t FindLastCharacter(std::string_view text, char c);

// Whether the last character of `text` is `c`.
bool EndsWithCharacter(std::string_view text, char c);

// `text` without the characters `c` that end it, however many.
std::string_view TrimTrailingCharacter(std::string_view text, char c);

// The pieces of `text` between backslashes (n backslashes give n + 1 pieces).
std::vector<std::string_view> SplitAtBackslashes(std::string_view text);

// One path component (no separators in it) that Windows stores as written,
// under that name and no other:
// - not empty, and not ending in a dot or a space (Windows drops them, so
//   "a.txt." would be written into "a.txt", and "." or ".." climb);
// - no character below 0x20 and none of < > : " / \ | ? * (a colon names a
//   drive or a data stream; the second byte of a double-byte character is
//   part of that character, never one of these);
// - not a device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, in any
//   case, with or without an extension, with spaces before the extension):
//   Windows opens the device instead of a file.
bool IsSafeComponent(std::string_view component);

// An absolute path on a drive in the one form the tasks accept: a drive
// letter, a colon, a backslash, then components that Windows stores as
// written (IsSafeComponent: none empty, none "." or ".."), one backslash
// between two, and at most one ending the path. Its depth is the number of
// components: the depth the file system sees.
struct DrivePath {
    char driveLetter = '\0';
    std::vector<std::string_view> components; // views into the parsed text
    bool endsWithBackslash = false;
};

// Parses `text` as a DrivePath; nullopt when it has any other form.
std::optional<DrivePath> ParseDrivePath(std::string_view text);

} // namespace qek::inline protocol
