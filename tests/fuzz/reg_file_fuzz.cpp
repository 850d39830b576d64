// The .reg reader of the Win32 layer on arbitrary bytes.
//
// Checked: the four root keys exist, every key's parent exists, names are
// folded, string data ends with its NUL and dword data has four bytes,
// problems name real lines; the tree written out again as REGEDIT4 reads
// back to the same tree without a problem.
#include "reg_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace win32posix;

namespace {

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "reg_file property failed: %s\n", what);
        std::abort();
    }
}

bool IsFolded(const std::string& name)
{
    return FoldRegistryName(name) == name;
}

std::string Quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::string Hex8(const std::string& data)
{
    const uint32_t value = static_cast<uint8_t>(data[0]) | static_cast<uint8_t>(data[1]) << 8 |
                           static_cast<uint8_t>(data[2]) << 16 |
                           static_cast<uint32_t>(static_cast<uint8_t>(data[3])) << 24;
    char text[9];
    std::snprintf(text, sizeof(text), "%08x", value);
    return text;
}

// True when the text reads back as the same name: no line end inside, no
// blank at either end that the reader trims away.
bool Writable(const std::string& text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    return text.find('\n') == std::string::npos && (text.empty() || (!blank(text.front()) && !blank(text.back())));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const RegistryFileParse parse = ParseRegistryFile(bytes);
    const RegistryTree& tree = parse.tree;
    for (const char* root : {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS"}) {
        Require(FindRegistryKey(tree, root) != nullptr, "a root key is missing");
    }
    size_t lines = 1;
    for (char c : bytes) {
        lines += c == '\n' ? 1 : 0;
    }
    for (const RegistryFileProblem& problem : parse.problems) {
        Require(problem.line >= 1 && problem.line <= lines, "a problem on no line");
        Require(!problem.reason.empty(), "a problem without a reason");
    }

    bool writable = true;
    std::string text = "REGEDIT4\n";
    for (const auto& [path, key] : tree.keys) {
        Require(IsFolded(path), "a key path not folded");
        const size_t separator = path.rfind('\\');
        if (separator != std::string::npos) {
            Require(tree.keys.count(path.substr(0, separator)) == 1, "a key without its parent");
            Require(separator + 1 < path.size(), "a key path ending in a separator");
        } else {
            Require(RegistryRootName(path) == path, "a key outside the roots");
        }
        Require(path.find("\\\\") == std::string::npos, "an empty key name");
        writable = writable && Writable(path);
        text += "[" + path + "]\n";
        for (const auto& [name, value] : key.values) {
            Require(IsFolded(name), "a value name not folded");
            writable = writable && Writable(name);
            const std::string written = name.empty() ? "@" : Quoted(name);
            if (value.type == REG_SZ) {
                Require(!value.data.empty() && value.data.back() == '\0', "a string without its NUL");
                const std::string content = value.data.substr(0, value.data.size() - 1);
                writable = writable && content.find('\n') == std::string::npos;
                text += written + "=" + Quoted(content) + "\n";
            } else {
                Require(value.type == REG_DWORD && value.data.size() == 4, "a value neither string nor dword");
                text += written + "=dword:" + Hex8(value.data) + "\n";
            }
        }
    }
    if (!writable) {
        return 0;
    }
    const RegistryFileParse again = ParseRegistryFile(text);
    Require(again.problems.empty(), "a written tree reads with problems");
    Require(again.tree.keys.size() == tree.keys.size(), "a written tree reads to another number of keys");
    for (const auto& [path, key] : tree.keys) {
        const RegistryKey* read = FindRegistryKey(again.tree, path);
        Require(read != nullptr && read->values.size() == key.values.size(), "a written key reads otherwise");
        for (const auto& [name, value] : key.values) {
            const auto found = read->values.find(name);
            Require(found != read->values.end() && found->second.type == value.type && found->second.data == value.data,
                    "a written value reads otherwise");
        }
    }
    return 0;
}
