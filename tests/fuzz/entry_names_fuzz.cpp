// The name and path rules of the core on arbitrary bytes: check-list entry
// names (IsSafeEntryName, IsSafeComponent), the delete game path rule
// (IsValidSecondLevelPath), the update's delete policy (DeletePolicyFor)
// and the directory sync sub-path rule (IsUsableSubPath).
//
// Each rule is checked against its promise, and against the Win32 layer's
// reading of the path (the lexical normalisation Windows applies): a safe
// name stays below its root, a path accepted for deletion lies two levels
// below its drive's root.
#include "base/Paths.h"
#include "base/SystemNames.h"
#include "dirsync/SyncRoots.h"
#include "maintenance/GamePath.h"
#include "update/UpdateTask.h"

#include "path.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace qek;

namespace {

void Require(bool condition, const char* what, std::string_view input)
{
    if (!condition) {
        std::fprintf(stderr, "entry_names property failed: %s: \"%.*s\"\n", what, static_cast<int>(input.size()),
                     input.data());
        std::abort();
    }
}

// The layer's components of `path`, or false when it does not parse.
bool Components(const std::string& path, win32posix::WindowsPath& parsed)
{
    return win32posix::ParseWindowsPath(path, parsed) == ERROR_SUCCESS;
}

void CheckEntryName(const uint8_t* data, size_t size)
{
    const char* field = reinterpret_cast<const char*>(data);
    if (!IsSafeEntryName(field, size)) {
        return;
    }
    const std::string name(field); // has its NUL: IsSafeEntryName
    Require(!name.empty() && name.front() == '\\', "safe name without a leading backslash", name);
    std::string_view rest = std::string_view(name).substr(1);
    if (SystemNames().EndsWithCharacter(rest, '\\')) {
        rest.remove_suffix(1);
    }
    size_t count = 0;
    if (!rest.empty()) {
        for (const std::string_view component : SystemNames().SplitAtBackslashes(rest)) {
            Require(!component.empty(), "safe name with an empty component", name);
            Require(component != "." && component != "..", "safe name with a dot component", name);
            Require(component.find_first_not_of(". ") != std::string_view::npos, "safe name of dots and spaces", name);
            Require(component.back() != '.' && component.back() != ' ', "safe name ending in a dot or space", name);
            // A byte of a double-byte character may be anything; single bytes
            // are never a colon, a slash or a control character.
            if (std::all_of(component.begin(), component.end(), [](char c) { return (c & 0x80) == 0; })) {
                Require(std::none_of(component.begin(), component.end(),
                                     [](char c) {
                                         return c < 0x20 ||
                                                std::string_view(":/<>\"|?*").find(c) != std::string_view::npos;
                                     }),
                        "safe name with a forbidden character", name);
            }
            Require(SystemNames().IsSafeComponent(component), "component rule disagrees", name);
            ++count;
        }
    }
    // Below a root, the name names exactly its own components there, as the
    // layer (which walks the code page's characters on its own) reads them.
    win32posix::WindowsPath parsed;
    if (Components("D:\\games\\x" + name, parsed)) {
        Require(parsed.components.size() == 2 + count, "safe name changes the depth", name);
        Require(parsed.components.size() >= 2 + (count > 0 ? 1 : 0), "safe name climbs", name);
        Require(parsed.components[0] == "games" && parsed.components[1] == "x", "safe name leaves its root", name);
    }
}

void CheckPathRules(std::string_view input)
{
    const std::string text(input.substr(0, input.find('\0')));
    win32posix::WindowsPath parsed;
    const bool parses = Components(text, parsed);

    if (IsValidSecondLevelPath(text.c_str(), SystemNames())) {
        Require(text.size() >= 3 && text[1] == ':' && text[2] == '\\', "game path not absolute on a drive", text);
        if (parses) {
            Require(parsed.kind == win32posix::PathKind::DriveAbsolute, "game path of another kind", text);
            Require(parsed.components.size() >= 2, "game path less than two levels deep", text);
        }
    }
    if (text.size() < 512 && DeletePolicyFor(text.c_str()) == DeletePolicy::DeleteUnlisted && parses &&
        parsed.kind != win32posix::PathKind::Relative) {
        Require(parsed.components.size() >= 2, "deletion allowed less than two levels deep", text);
    }
    if (SystemNames().IsUsableSubPath(text.c_str())) {
        Require(text.front() == '\\' && text.back() == '\\', "sub-path without its backslashes", text);
        win32posix::WindowsPath below;
        if (Components("D:\\games\\x" + text, below)) {
            Require(below.components.size() >= 2 && below.components[0] == "games" && below.components[1] == "x",
                    "sub-path leaves the directory", text);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CheckEntryName(data, size);
    CheckPathRules(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
