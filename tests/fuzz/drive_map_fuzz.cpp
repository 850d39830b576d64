// The drive table of the Win32 layer: the QEL_DRIVES text and the table made
// from folder names.
//
// Checked: a parsed table is sorted by letter, one entry per upper-case
// letter, with absolute, clean host folders and known types; written out
// again it parses to the same table; a refused text says why. The folder
// name table takes only single letters, the upper-case one first.
#include "drive_map.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace win32posix;

namespace {

void Require(bool condition, const char* what, std::string_view input)
{
    if (!condition) {
        std::fprintf(stderr, "drive_map property failed: %s: \"%.*s\"\n", what, static_cast<int>(input.size()),
                     input.data());
        std::abort();
    }
}

const char* TypeName(UINT type)
{
    switch (type) {
    case DRIVE_FIXED:
        return "fixed";
    case DRIVE_REMOVABLE:
        return "removable";
    case DRIVE_REMOTE:
        return "remote";
    case DRIVE_CDROM:
        return "cdrom";
    case DRIVE_RAMDISK:
        return "ramdisk";
    default:
        return nullptr;
    }
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void CheckTable(const DriveTable& table, std::string_view input)
{
    char previous = 0;
    bool writable = true;
    std::string text;
    for (const DriveMapping& drive : table) {
        Require(drive.letter >= 'A' && drive.letter <= 'Z' && drive.letter > previous, "letters", input);
        previous = drive.letter;
        const std::string& root = drive.hostRoot;
        Require(!root.empty() && root.front() == '/', "a relative host folder", input);
        Require(root.find("//") == std::string::npos, "a run of '/' kept", input);
        Require(root == "/" || root.back() != '/', "a trailing '/' kept", input);
        const char* type = TypeName(drive.type);
        Require(type != nullptr, "an unknown type", input);
        Require(DriveTypeFromName(type) == drive.type, "type names", input);
        // A folder ending in a blank or holding ';' cannot be written back.
        writable = writable && !IsBlank(root.back()) && root.find(';') == std::string::npos;
        text += std::string(1, drive.letter) + "=" + root + "," + type + ";";
    }
    if (!writable) {
        return;
    }
    std::string error;
    const auto again = ParseDriveMap(text, &error);
    Require(again.has_value(), "a written table does not parse", input);
    Require(again->size() == table.size(), "a written table changes size", input);
    for (size_t i = 0; i < table.size(); ++i) {
        Require((*again)[i].letter == table[i].letter && (*again)[i].hostRoot == table[i].hostRoot &&
                    (*again)[i].type == table[i].type,
                "a written table parses to another", input);
    }
}

void CheckFolderNames(std::string_view input)
{
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= input.size()) {
        const size_t end = std::min(input.find('\n', start), input.size());
        names.emplace_back(input.substr(start, end - start));
        start = end + 1;
    }
    const DriveTable table = DriveTableFromFolderNames("/srv//drives/", names);
    char previous = 0;
    for (const DriveMapping& drive : table) {
        Require(drive.letter >= 'A' && drive.letter <= 'Z' && drive.letter > previous, "folder letters", input);
        previous = drive.letter;
        Require(drive.type == DRIVE_FIXED, "folder drives are fixed", input);
        Require(drive.hostRoot.size() == 13 && drive.hostRoot.rfind("/srv/drives/", 0) == 0, "folder path", input);
        const char name = drive.hostRoot.back();
        Require(name == drive.letter || name == drive.letter + ('a' - 'A'), "folder name", input);
        if (name != drive.letter) {
            for (const std::string& listed : names) {
                Require(listed != std::string(1, drive.letter), "the lower-case folder won", input);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto table = ParseDriveMap(text, &error);
    if (table) {
        CheckTable(*table, text);
    } else {
        Require(!error.empty(), "a refused text without a reason", text);
    }
    CheckFolderNames(text);
    return 0;
}
