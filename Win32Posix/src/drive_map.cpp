// Emulates the machine's drive letters as a table of host folders, parsed from
// the QEL_DRIVES text or made from folder names. Pure text processing: it
// does not check that the folders exist (a missing folder is a drive whose
// root cannot be found), and it knows no drive that the text does not name.
#include "drive_map.h"

#include <algorithm>
#include <cctype>

namespace win32posix {
namespace {

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

bool IsAsciiLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char UpperLetter(char c)
{
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

// "/a/b/" -> "/a/b"; "/" stays "/"; runs of '/' collapse.
std::string CleanHostRoot(std::string_view path)
{
    std::string out;
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/')
            continue;
        out += c;
    }
    if (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

bool Reject(std::string* error, std::string_view entry, const char* why)
{
    if (error)
        *error = "bad drive entry \"" + std::string(entry) + "\": " + why;
    return false;
}

bool ParseEntry(std::string_view entry, DriveMapping& out, std::string* error)
{
    size_t equals = entry.find('=');
    if (equals == std::string_view::npos)
        return Reject(error, entry, "expected L=PATH[,TYPE]");
    std::string_view letter = Trim(entry.substr(0, equals));
    if (letter.size() != 1 || !IsAsciiLetter(letter[0]))
        return Reject(error, entry, "the drive must be one letter");
    std::string_view rest = entry.substr(equals + 1);
    std::string_view path = rest;
    UINT type = DRIVE_FIXED;
    // The type follows the last comma, so that a path may hold commas as long
    // as a type is given after it.
    size_t comma = rest.rfind(',');
    if (comma != std::string_view::npos) {
        std::optional<UINT> named = DriveTypeFromName(Trim(rest.substr(comma + 1)));
        if (!named)
            return Reject(error, entry, "unknown drive type");
        type = *named;
        path = rest.substr(0, comma);
    }
    path = Trim(path);
    if (path.empty() || path.front() != '/')
        return Reject(error, entry, "the path must be absolute");
    out.letter = UpperLetter(letter[0]);
    out.hostRoot = CleanHostRoot(path);
    out.type = type;
    return true;
}

} // namespace

std::optional<UINT> DriveTypeFromName(std::string_view name)
{
    std::string lower;
    for (char c : name)
        lower += char(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "fixed")
        return DRIVE_FIXED;
    if (lower == "removable")
        return DRIVE_REMOVABLE;
    if (lower == "remote")
        return DRIVE_REMOTE;
    if (lower == "cdrom")
        return DRIVE_CDROM;
    if (lower == "ramdisk")
        return DRIVE_RAMDISK;
    return std::nullopt;
}

std::optional<DriveTable> ParseDriveMap(std::string_view text, std::string* error)
{
    DriveTable table;
    while (true) {
        size_t semicolon = text.find(';');
        std::string_view entry = text.substr(0, semicolon);
        if (!Trim(entry).empty()) {
            DriveMapping mapping;
            if (!ParseEntry(entry, mapping, error))
                return std::nullopt;
            bool duplicate = std::any_of(table.begin(), table.end(),
                                         [&](const DriveMapping& m) { return m.letter == mapping.letter; });
            if (duplicate) {
                Reject(error, entry, "the letter is given twice");
                return std::nullopt;
            }
            table.push_back(std::move(mapping));
        }
        if (semicolon == std::string_view::npos)
            break;
        text.remove_prefix(semicolon + 1);
    }
    std::sort(table.begin(), table.end(),
              [](const DriveMapping& a, const DriveMapping& b) { return a.letter < b.letter; });
    return table;
}

DriveTable DriveTableFromFolderNames(const std::string& parent, const std::vector<std::string>& names)
{
    DriveTable table;
    std::string base = CleanHostRoot(parent);
    if (base != "/")
        base += '/';
    // Sorted, so that when both "C" and "c" exist the upper-case one wins
    // whatever order the folder was listed in.
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    for (const std::string& name : sorted) {
        if (name.size() != 1 || !IsAsciiLetter(name[0]))
            continue;
        char letter = UpperLetter(name[0]);
        bool taken = std::any_of(table.begin(), table.end(), [&](const DriveMapping& m) { return m.letter == letter; });
        if (taken)
            continue;
        table.push_back(DriveMapping{letter, base + name, DRIVE_FIXED});
    }
    std::sort(table.begin(), table.end(),
              [](const DriveMapping& a, const DriveMapping& b) { return a.letter < b.letter; });
    return table;
}

} // namespace win32posix
