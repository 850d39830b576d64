// Emulates the Windows path syntax that the core writes: drive-letter paths,
// runs of '\' or '/' as one separator, "." and ".." removed lexically (never
// above the root), then trailing dots and spaces of the final name dropped (a
// folder name keeps them but for one ending dot), and the characters Windows
// forbids in names refused; plus Windows wildcard matching.
// It does not support UNC or device paths ("\\server\share", "\\?\", "NUL"),
// per-drive current folders ("C:x" is taken from C:'s root) or 8.3 names.
// The text is in the process's ANSI code page and is walked character by
// character: the second byte of a GBK character (0x40 to 0xFE) may equal '\\',
// '|' or a letter, and is never a separator, a forbidden character or folded.
#include "path.h"

#include "codepage.h"

#include <cctype>

namespace win32posix {
namespace {

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

bool IsAsciiLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool IsForbiddenInName(char c, bool allowWildcards)
{
    if (static_cast<unsigned char>(c) < 32)
        return true;
    switch (c) {
    case '<':
    case '>':
    case ':':
    case '"':
    case '|':
        return true;
    case '*':
    case '?':
        return !allowWildcards;
    default:
        return false;
    }
}

// The offsets at which the characters of `text` begin.
std::vector<size_t> CharStarts(UINT codePage, std::string_view text)
{
    std::vector<size_t> starts;
    for (size_t i = 0; i < text.size(); i += CharLengthAt(codePage, text, i))
        starts.push_back(i);
    return starts;
}

// Trailing '.' and ' ' characters (single-byte ones: never the second byte of
// a double-byte character) go.
void StripTrailingDotsAndSpaces(UINT codePage, std::string& name)
{
    std::vector<size_t> starts = CharStarts(codePage, name);
    while (!starts.empty() && starts.back() + 1 == name.size() && (name.back() == '.' || name.back() == ' ')) {
        name.pop_back();
        starts.pop_back();
    }
}

// The name ends in a single-byte '.'.
bool EndsWithDot(UINT codePage, const std::string& name)
{
    std::vector<size_t> starts = CharStarts(codePage, name);
    return !starts.empty() && starts.back() + 1 == name.size() && name.back() == '.';
}

// Applies one component to a normalised list; `clampAtRoot` false keeps
// leading ".." (a relative path may climb above where it starts).
void PushComponent(std::vector<std::string>& components, const std::string& name, bool clampAtRoot)
{
    if (name == ".")
        return;
    if (name == "..") {
        if (!components.empty() && components.back() != "..") {
            components.pop_back();
        } else if (!clampAtRoot) {
            components.push_back(name);
        }
        return;
    }
    components.push_back(name);
}

// The character of `text` at `at` equals that of `other` at `otherAt`, ASCII
// letters folded; both have the given lengths.
bool SameChar(std::string_view text, size_t at, size_t length, std::string_view other, size_t otherAt,
              size_t otherLength)
{
    if (length != otherLength)
        return false;
    if (length == 1)
        return AsciiLower(text[at]) == AsciiLower(other[otherAt]);
    return text.compare(at, length, other, otherAt, otherLength) == 0;
}

// Case-insensitive glob with '*' and '?' (iterative, backtracking on the last
// '*'), character by character: '?' takes one whole double-byte character.
bool GlobMatch(UINT codePage, std::string_view name, std::string_view pattern)
{
    size_t n = 0, p = 0;
    size_t starPattern = std::string_view::npos, starName = 0;
    while (n < name.size()) {
        size_t nameLength = CharLengthAt(codePage, name, n);
        size_t patternLength = p < pattern.size() ? CharLengthAt(codePage, pattern, p) : 0;
        if (p < pattern.size() &&
            ((patternLength == 1 && pattern[p] == '?') || SameChar(pattern, p, patternLength, name, n, nameLength))) {
            n += nameLength;
            p += patternLength;
        } else if (p < pattern.size() && patternLength == 1 && pattern[p] == '*') {
            starPattern = p++;
            starName = n;
        } else if (starPattern != std::string_view::npos) {
            p = starPattern + 1;
            starName += CharLengthAt(codePage, name, starName);
            n = starName;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

} // namespace

DWORD ParseWindowsPath(std::string_view text, WindowsPath& out, bool allowWildcardsInLast)
{
    out = WindowsPath{};
    if (text.empty())
        return ERROR_PATH_NOT_FOUND;
    if (text.size() >= 2 && IsSeparator(text[0]) && IsSeparator(text[1]))
        return ERROR_PATH_NOT_FOUND; // UNC, \\?\ and \\.\ paths

    std::string_view rest = text;
    if (text.size() >= 2 && text[1] == ':' && IsAsciiLetter(text[0])) {
        out.drive = char(std::toupper(static_cast<unsigned char>(text[0])));
        rest.remove_prefix(2);
        out.kind = (!rest.empty() && IsSeparator(rest[0])) ? PathKind::DriveAbsolute : PathKind::DriveRelative;
    } else if (IsSeparator(text[0])) {
        out.kind = PathKind::HostAbsolute;
    } else {
        out.kind = PathKind::Relative;
    }

    // Split into raw names, character by character; runs of separators count
    // as one.
    UINT codePage = ActiveCodePage();
    std::vector<std::string> names;
    std::string current;
    bool endsWithSeparator = false;
    for (size_t i = 0; i < rest.size();) {
        size_t length = CharLengthAt(codePage, rest, i);
        endsWithSeparator = length == 1 && IsSeparator(rest[i]);
        if (endsWithSeparator) {
            if (!current.empty())
                names.push_back(std::move(current));
            current.clear();
        } else {
            current.append(rest, i, length);
        }
        i += length;
    }
    if (!current.empty())
        names.push_back(std::move(current));
    out.trailingSeparator = endsWithSeparator && !names.empty();

    bool clampAtRoot = out.kind != PathKind::Relative;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string& name = names[i];
        bool last = i + 1 == names.size();
        bool wildcardsHere = last && allowWildcardsInLast && !out.trailingSeparator;
        for (size_t at = 0; at < name.size(); at += CharLengthAt(codePage, name, at))
            if (CharLengthAt(codePage, name, at) == 1 && IsForbiddenInName(name[at], wildcardsHere))
                return ERROR_INVALID_NAME;
        bool folder = !last || out.trailingSeparator;
        if (folder && EndsWithDot(codePage, name) && name.find_first_not_of('.') != std::string::npos)
            name.pop_back(); // Windows drops one dot that ends a folder name: "a.\b" is "a\b"
        PushComponent(out.components, name, clampAtRoot);
    }
    // The name that ends the path loses its trailing dots and spaces once "."
    // and ".." are applied, whichever raw name it came from: "y \." is "y".
    // A name of nothing else goes, and the path then ends with the separator
    // before it: "a..\ " is the folder "a.\", as Windows trims the text.
    if (!out.trailingSeparator && !out.components.empty()) {
        std::string& final = out.components.back();
        bool pattern = allowWildcardsInLast && HasWildcard(final);
        if (final != ".." && !pattern) {
            StripTrailingDotsAndSpaces(codePage, final);
            if (final.empty()) {
                out.components.pop_back();
                out.trailingSeparator = true;
            }
        }
    }
    if (out.components.empty())
        out.trailingSeparator = false;
    return ERROR_SUCCESS;
}

std::vector<std::string> JoinComponents(std::vector<std::string> base, const std::vector<std::string>& relative)
{
    for (const std::string& name : relative)
        PushComponent(base, name, true);
    return base;
}

std::string FormatWindowsPath(const WindowsPath& path)
{
    std::string text;
    if (path.kind == PathKind::DriveAbsolute || path.kind == PathKind::DriveRelative)
        text = std::string(1, path.drive) + ":";
    bool rooted = path.kind != PathKind::Relative;
    for (size_t i = 0; i < path.components.size(); ++i) {
        if (i > 0 || rooted)
            text += '\\';
        const std::string& name = path.components[i];
        text += name;
        // Parsing drops one dot that ends a folder name: the folder "a." is
        // written "a..", so that it reads back as "a.".
        bool folder = i + 1 < path.components.size() || path.trailingSeparator;
        if (folder && EndsWithDot(ActiveCodePage(), name) && name.find_first_not_of('.') != std::string::npos)
            text += '.';
    }
    if (path.components.empty())
        text += rooted ? "\\" : ".";
    else if (path.trailingSeparator)
        text += '\\';
    return text;
}

bool NamesEqualIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    UINT codePage = ActiveCodePage();
    for (size_t i = 0; i < a.size();) {
        size_t length = CharLengthAt(codePage, a, i);
        if (!SameChar(a, i, length, b, i, CharLengthAt(codePage, b, i)))
            return false;
        i += length;
    }
    return true;
}

// '*' and '?' (0x2A, 0x3F) are never the second byte of a GBK character.
bool HasWildcard(std::string_view text)
{
    return text.find_first_of("*?") != std::string_view::npos;
}

bool MatchesWildcard(std::string_view name, std::string_view pattern)
{
    UINT codePage = ActiveCodePage();
    auto GlobMatch = [codePage](std::string_view n, std::string_view p) {
        return win32posix::GlobMatch(codePage, n, p);
    };
    if (pattern == "*" || pattern == "*.*")
        return true;
    if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*") {
        // "abc.*" also matches "abc", as "*.*" matches names without a dot.
        if (GlobMatch(name, pattern.substr(0, pattern.size() - 2)))
            return true;
        return GlobMatch(name, pattern);
    }
    if (!pattern.empty() && pattern.back() == '.') {
        // A final dot stands for "no extension": "*." matches names without a dot.
        if (name.find('.') != std::string_view::npos)
            return false;
        return GlobMatch(name, pattern.substr(0, pattern.size() - 1));
    }
    return GlobMatch(name, pattern);
}

} // namespace win32posix
