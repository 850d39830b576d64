// Windows path syntax: parsing and lexical normalisation of the paths the core
// passes, as Windows does it before any file system access. Pure text
// processing, no file system access.
#ifndef QEL_WIN32POSIX_PATH_H
#define QEL_WIN32POSIX_PATH_H

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace win32posix {

enum class PathKind {
    DriveAbsolute, // "C:\dir\file"
    DriveRelative, // "C:file": taken relative to the drive's root (no per-drive current folder)
    HostAbsolute,  // "\opt\x": the host path /opt/x
    Relative,      // "dir\file": relative to the process's current folder
};

struct WindowsPath {
    PathKind kind = PathKind::Relative;
    char drive = 0; // upper-case letter for the Drive* kinds, else 0
    // Components after normalisation: separators ('\' and '/', in runs) split,
    // "." removed, ".." removes the previous component and never climbs above
    // the root; for Relative paths, ".." that would climb above the start are
    // kept at the front. Trailing dots and spaces of the last component are
    // removed, as Windows does ("a." names "a"), except for "." and "..".
    std::vector<std::string> components;
    // The text ended with a separator ("dir\"): the entry must be a directory.
    bool trailingSeparator = false;
};

// Parses a Windows path. On failure returns ERROR_PATH_NOT_FOUND (empty path,
// UNC "\\server\share" and device paths, which the layer does not support) or
// ERROR_INVALID_NAME (a character Windows forbids in names: < > : " | ? * or a
// control character, a ':' anywhere but after the drive letter).
// With `allowWildcardsInLast`, '*' and '?' are accepted in the last component
// (FindFirstFileA's pattern); a last component with wildcards keeps its
// trailing dots and spaces ("*." means names without a dot).
DWORD ParseWindowsPath(std::string_view text, WindowsPath& out, bool allowWildcardsInLast = false);

// The canonical text of a parsed path: "C:\\a\\b", "\\opt\\x", "a\\b", with a
// final '\\' when trailingSeparator is set; a root alone is "C:\\" or "\\", an
// empty relative path ".". A folder name that ends in a dot gets a second
// one ("a." is written "a..\\"), since parsing drops one. Parsing the text
// again gives the same path.
std::string FormatWindowsPath(const WindowsPath& path);

// Appends `relative` (components as ParseWindowsPath gives them for a Relative
// path) to `base` (normalised components from a root), applying "..", never
// above the root.
std::vector<std::string> JoinComponents(std::vector<std::string> base, const std::vector<std::string>& relative);

// ASCII case-insensitive equality of two names, as the layer compares names.
bool NamesEqualIgnoringCase(std::string_view a, std::string_view b);

// Windows wildcard matching of a name against a pattern ('*' any run, '?' one
// character, ASCII case-insensitive; "*.*" matches every name, also those with
// no dot; a pattern ending in ".*" or "." also matches names without the dot,
// as Windows does).
bool MatchesWildcard(std::string_view name, std::string_view pattern);

// True when the text holds '*' or '?'.
bool HasWildcard(std::string_view text);

} // namespace win32posix

#endif
