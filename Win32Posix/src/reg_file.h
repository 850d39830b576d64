// Parsing of .reg files (what regedit exports) into a read-only registry
// tree: pure text processing, no file system access.
#ifndef QEL_WIN32POSIX_REG_FILE_H
#define QEL_WIN32POSIX_REG_FILE_H

#include <windows.h>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace win32posix {

// One value as RegQueryValueExA returns it: REG_SZ data holds the text and
// its terminating NUL; REG_DWORD data holds four little-endian bytes.
struct RegistryValue {
    DWORD type = REG_NONE;
    std::string data;
};

// One key: its values by folded name (the default value has the name "").
struct RegistryKey {
    std::map<std::string, RegistryValue> values;
};

// A parsed registry: keys by folded full path ("HKEY_LOCAL_MACHINE\SOFTWARE\X").
// Every parent of a listed key exists too, and so do the four root keys.
struct RegistryTree {
    std::map<std::string, RegistryKey> keys;
};

// A line the parser skipped, with its 1-based number and the reason.
struct RegistryFileProblem {
    size_t line = 0;
    std::string reason;
};

struct RegistryFileParse {
    RegistryTree tree;
    std::vector<RegistryFileProblem> problems;
};

// Parses the bytes of a .reg file: "REGEDIT4" or "Windows Registry Editor
// Version 5.00" first, in UTF-8 (with or without BOM) or UTF-16LE with BOM
// (converted to UTF-8); then [ROOT\key\path] sections and, under them,
// "name"="text" (escapes \\ and \"), "name"=dword:hhhhhhhh and @= for the
// default value; empty lines and ';' comments are ignored. Root and key names
// compare without regard to ASCII case; HKLM, HKCU, HKCR and HKU stand for the
// full root names. Anything else (deletions, hex values, a value outside a
// section, a bad escape) skips that line and is listed in `problems`. A
// missing or unknown header gives an empty tree and one problem.
RegistryFileParse ParseRegistryFile(std::string_view bytes);

// ASCII upper-case copy of a name, as the tree stores names.
std::string FoldRegistryName(std::string_view name);

// The folded full path of `subKey` under the folded key path `parent`:
// separators in runs count as one, a trailing one is ignored. Returns nullopt
// when `subKey` starts with a backslash (ERROR_BAD_PATHNAME on Windows).
std::optional<std::string> JoinRegistryPath(const std::string& parent, std::string_view subKey);

// The key at a folded full path, or nullptr.
const RegistryKey* FindRegistryKey(const RegistryTree& tree, const std::string& foldedPath);

// The full folded name of a root key by any of its names ("HKLM",
// "hkey_local_machine"), or nullopt.
std::optional<std::string> RegistryRootName(std::string_view name);

} // namespace win32posix

#endif
