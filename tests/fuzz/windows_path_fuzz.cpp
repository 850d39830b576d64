// Windows path syntax and resolution of the Win32 layer. The first byte
// chooses wildcards in the last name (bit 0); the rest is a path.
//
// Checked: a parsed path holds no "." and no empty name, ".." only at the
// front of a relative path; its canonical text parses again to the same path
// and formats to the same text; joining never climbs above a root; a path on
// the mapped drive D: resolves to a host path inside D:'s folder.
#include "path.h"
#include "resolve.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace fs = std::filesystem;
using namespace win32posix;

namespace {

void Require(bool condition, const char* what, std::string_view input)
{
    if (!condition) {
        std::fprintf(stderr, "windows_path property failed: %s: \"%.*s\"\n", what, static_cast<int>(input.size()),
                     input.data());
        std::abort();
    }
}

// Drive D: mapped to a small folder tree, made once.
const std::string& DriveRoot()
{
    static const std::string root = [] {
        std::string pattern = (fs::temp_directory_path() / "qel-fuzz-path-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        static fs::path made;
        made = pattern;
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(made, ignored);
        });
        const fs::path d = fs::path(pattern) / "d";
        fs::create_directories(d / "Games" / "X");
        fs::create_directories(d / "a b.");
        std::FILE* file = std::fopen((d / "Games" / "x.txt").c_str(), "w");
        if (file != nullptr) {
            std::fclose(file);
        }
        setenv("QEL_DRIVES", ("D=" + d.string()).c_str(), 1);
        return d.string();
    }();
    return root;
}

// Whether '\\' or '/' stands in `name` as a character of its own, not as the
// second byte of a double-byte character of the code page.
bool HasSeparatorCharacter(const std::string& name)
{
    for (const char* at = name.c_str(); *at != '\0'; at = CharNextA(at)) {
        if (*at == '\\' || *at == '/') {
            return true;
        }
    }
    return false;
}

void CheckShape(const WindowsPath& path, std::string_view input)
{
    bool climbing = path.kind == PathKind::Relative;
    for (const std::string& name : path.components) {
        Require(!name.empty(), "empty name", input);
        Require(name != ".", "\".\" kept", input);
        if (name == "..") {
            Require(climbing, "\"..\" kept after a name or below a root", input);
        } else {
            climbing = false;
        }
        Require(!HasSeparatorCharacter(name), "separator inside a name", input);
    }
    Require(path.kind == PathKind::DriveAbsolute || path.kind == PathKind::DriveRelative
                ? path.drive >= 'A' && path.drive <= 'Z'
                : path.drive == 0,
            "drive letter", input);
}

// A last name that ends in a dot or a space, without a separator after it,
// has no canonical text: written last, it loses them. The parser leaves one
// when the names after a folder "a.." vanish ("\\a..\\ ", "\\a..\\b\\.."); such
// a path is not written back.
bool HasCanonicalText(const WindowsPath& path)
{
    if (path.components.empty() || path.trailingSeparator) {
        return true;
    }
    const std::string& last = path.components.back();
    return HasWildcard(last) || (last.back() != '.' && last.back() != ' ') || last == "..";
}

void CheckRoundTrip(const WindowsPath& path, bool wildcards, std::string_view input)
{
    if (!HasCanonicalText(path)) {
        return;
    }
    const std::string text = FormatWindowsPath(path);
    WindowsPath again;
    Require(ParseWindowsPath(text, again, wildcards) == ERROR_SUCCESS, "canonical text does not parse", input);
    // "C:x" is taken from C:'s root, so it is written "C:\x".
    const PathKind kind = path.kind == PathKind::DriveRelative ? PathKind::DriveAbsolute : path.kind;
    Require(again.kind == kind && again.drive == path.drive, "canonical text changes the root", input);
    Require(again.components == path.components, "canonical text changes the names", input);
    Require(again.trailingSeparator == path.trailingSeparator, "canonical text changes the trailing separator", input);
    Require(FormatWindowsPath(again) == text, "canonical text is not stable", input);
}

void CheckResolution(const WindowsPath& path, std::string_view text)
{
    if (path.kind != PathKind::DriveAbsolute && path.kind != PathKind::DriveRelative) {
        return;
    }
    ResolvedPath resolved;
    const DWORD error = ResolvePath(text, resolved);
    if (path.drive != 'D') {
        Require(error != ERROR_SUCCESS, "an unmapped drive resolves", text);
        return;
    }
    if (error != ERROR_SUCCESS) {
        return;
    }
    if (resolved.unrepresentable) {
        // A missing last name with no host name (bytes the code page does not
        // define): there is no host path, and every caller refuses it.
        Require(!resolved.exists && resolved.host.empty(), "an unrepresentable name has a host path", text);
        return;
    }
    const std::string& root = DriveRoot();
    Require(resolved.host == root || resolved.host.rfind(root + "/", 0) == 0, "resolved outside the drive", text);
    Require(resolved.isRoot == path.components.empty(), "root flag", text);
    WindowsPath back;
    Require(ParseWindowsPath(WindowsPathFromHost(resolved.host), back) == ERROR_SUCCESS && back.drive == 'D',
            "host path does not map back to D:", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    DriveRoot();
    const bool wildcards = (data[0] & 1) != 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    WindowsPath path;
    if (ParseWindowsPath(text, path, wildcards) != ERROR_SUCCESS) {
        return 0;
    }
    CheckShape(path, text);
    CheckRoundTrip(path, wildcards, text);
    if (path.kind != PathKind::Relative) {
        WindowsPath relative;
        if (ParseWindowsPath(text.substr(text.size() / 2), relative) == ERROR_SUCCESS &&
            relative.kind == PathKind::Relative) {
            for (const std::string& name : JoinComponents(path.components, relative.components)) {
                Require(name != ".." && name != "." && !name.empty(), "join climbs or keeps a dot", text);
            }
        }
    }
    if (!wildcards) {
        CheckResolution(path, text);
    } else if (!path.components.empty()) {
        const std::string& last = path.components.back();
        Require(MatchesWildcard(last, "*"), "\"*\" does not match a name", text);
        if (!HasWildcard(last) && last.back() != '.') {
            Require(MatchesWildcard(last, last), "a name does not match itself", text);
        }
    }
    return 0;
}
