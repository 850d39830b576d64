// Names and paths in the client's ANSI code page (GBK on the PCs served): a
// lead byte and the byte after it form one character, and that second byte
// can be the byte of '\', '|' or a letter. Whatever looks for a separator or
// another character in a name steps over whole characters with these rules;
// nothing splits, compares or indexes backwards into a name byte by byte.
//
// The rules are the same for every program that reads such names (the client
// core, the Win32 layer, qelsrv); only the question of which bytes begin a
// double-byte character is each one's own, and it comes in as LeadBytes: the
// core asks its system, the layer and qelsrv answer for the code page they
// are given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qek::inline protocol {

// Which bytes begin a double-byte character in a code page.
class LeadBytes {
public:
    // A code page without double-byte characters (1252, and UTF-8, in which
    // no byte of a separator or letter is ever part of a longer character).
    LeadBytes() = default;

    // The bytes for which `isLeadByte` says so, asked once for each byte.
    template <class Question>
    static LeadBytes Asking(Question isLeadByte)
    {
        LeadBytes lead;
        for (std::size_t byte = 0; byte < lead.lead_.size(); ++byte) {
            lead.lead_[byte] = isLeadByte(static_cast<unsigned char>(byte));
        }
        return lead;
    }

    bool operator()(unsigned char byte) const { return lead_[byte]; }

private:
    std::array<bool, 256> lead_{};
};

// The lead bytes of a code page the tools name by number: 936 (GBK, 0x81 to
// 0xFE); none for 1252 and 65001, and for any other number.
LeadBytes LeadBytesOfCodePage(uint32_t codePage);

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

// Why Windows would not store a component as written (ComponentProblem).
enum class NameProblem {
    None,
    Empty,              // "" (and so "." and ".." after the trailing dots)
    TrailingDotOrSpace, // Windows drops them: "a.txt." is written into "a.txt"
    ControlCharacter,   // a character below 0x20
    ReservedCharacter,  // one of < > : " / \ | ? *
    BrokenCharacter,    // a lead byte with no second byte, or with one that no
                        // code page takes (below 0x40): Windows stores another
    DeviceName,         // CON, PRN, AUX, NUL, COM1-9, LPT1-9: Windows opens the device
};

class NameRules {
public:
    explicit NameRules(LeadBytes leadBytes) : lead_(leadBytes) { }

    // The length in bytes (1 or 2) of the character that starts at `at`: a
    // lead byte and the byte after it, whatever that byte is, are one
    // character, as Windows reads them; a lead byte that ends the text
    // stands alone.
    std::size_t CharacterLength(std::string_view text, std::size_t at) const;

    // Where the single-byte character `c` first stands as a character of its
    // own in `text`, from `from` on (a character boundary); npos when nowhere.
    std::size_t FindCharacter(std::string_view text, char c, std::size_t from = 0) const;
    // Where `c` stands last as a character of its own; npos when nowhere.
    std::size_t FindLastCharacter(std::string_view text, char c) const;
    // Whether the last character of `text` is `c`.
    bool EndsWithCharacter(std::string_view text, char c) const;
    // `text` without the characters `c` that end it, however many.
    std::string_view TrimTrailingCharacter(std::string_view text, char c) const;
    // The pieces of `text` between backslashes (n backslashes give n + 1 pieces).
    std::vector<std::string_view> SplitAtBackslashes(std::string_view text) const;
    // `text` with its ASCII letters lowered, character by character (the
    // second byte of a double-byte character stays as it is).
    std::string AsciiLower(std::string_view text) const;

    // One path component (no separators in it) that Windows stores as
    // written, under that name and no other: ComponentProblem finds nothing.
    // The rules, in the order they are looked at:
    // - not empty, and not ending in a dot or a space;
    // - no character below 0x20 and none of < > : " / \ | ? * (the second
    //   byte of a double-byte character is part of that character, never
    //   one of these);
    // - no broken double-byte character;
    // - not a device name, in any case, with or without an extension, with
    //   spaces before the extension.
    NameProblem ComponentProblem(std::string_view component) const;
    bool IsSafeComponent(std::string_view component) const { return ComponentProblem(component) == NameProblem::None; }

    // A name below a target root, as a check list or a file request carries
    // it, that stays below that root and is stored as written: it begins
    // with a backslash; it has no empty component between backslashes (one
    // trailing backslash, the form of a directory entry, is allowed; "\"
    // alone names the root itself); and every component is safe.
    bool IsSafeEntryName(std::string_view name) const;

    // A directory sync sub-path that keeps every root below the directory
    // found and usable as a root: a safe entry name that ends with a
    // backslash ("\" alone names the directory itself), but not "\\". A root
    // without its final backslash would make the copies land beside it.
    bool IsUsableSubPath(std::string_view subPath) const;

    // Parses `text` as a DrivePath; nullopt when it has any other form.
    std::optional<DrivePath> ParseDrivePath(std::string_view text) const;

private:
    bool IsDeviceName(std::string_view component) const;

    LeadBytes lead_;
};

} // namespace qek::inline protocol
