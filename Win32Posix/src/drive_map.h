// Parsing of the drive table description (the QEL_DRIVES variable): pure text
// processing, no file system access.
#ifndef QEL_WIN32POSIX_DRIVE_MAP_H
#define QEL_WIN32POSIX_DRIVE_MAP_H

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace win32posix {

// One drive letter mapped onto a host folder.
struct DriveMapping {
    char letter = 0;         // 'A'..'Z', always upper case
    std::string hostRoot;    // absolute host folder, without a trailing '/' (except "/")
    UINT type = DRIVE_FIXED; // DRIVE_FIXED, DRIVE_REMOVABLE, DRIVE_REMOTE, DRIVE_CDROM, DRIVE_RAMDISK
};

// A drive table, sorted by letter, one entry per letter.
using DriveTable = std::vector<DriveMapping>;

// Parses "L=PATH[,TYPE];L=PATH[,TYPE];..." where L is a letter (either case),
// PATH an absolute host path and TYPE one of fixed, removable, remote, cdrom,
// ramdisk (default fixed). Empty entries (";;", a trailing ';') are ignored.
// Strict: any malformed entry (no '=', not a single letter, a relative or empty
// path, an unknown type, a letter given twice) rejects the whole text; the
// result is then nullopt and *error (if given) describes the first bad entry.
std::optional<DriveTable> ParseDriveMap(std::string_view text, std::string* error = nullptr);

// The drive type named by a TYPE word (case-insensitive), or nullopt.
std::optional<UINT> DriveTypeFromName(std::string_view name);

// The drive table made of single-letter folder names (either case) found in
// one folder, all fixed: what is used when QEL_DRIVES is not set. `names` are
// the folder's entries that are directories; `parent` is the folder.
DriveTable DriveTableFromFolderNames(const std::string& parent, const std::vector<std::string>& names);

} // namespace win32posix

#endif
