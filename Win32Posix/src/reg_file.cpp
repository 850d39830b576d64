// Reads the .reg files regedit exports ("REGEDIT4" and "Windows Registry
// Editor Version 5.00", UTF-8 or UTF-16LE with BOM) into a registry tree of
// keys with string and dword values. Not emulated: hex, expandable, multi-string
// and binary values, line continuations, and the deletion syntax ([-key],
// "name"=-), which are reported as skipped lines; text is kept as UTF-8, with
// no conversion to an ANSI code page.
#include "reg_file.h"

#include <array>
#include <cstdint>

namespace win32posix {
namespace {

constexpr std::string_view kHeaderRegedit4 = "REGEDIT4";
constexpr std::string_view kHeaderVersion5 = "Windows Registry Editor Version 5.00";

struct RootAlias {
    std::string_view alias;
    std::string_view fullName;
};

constexpr std::array<RootAlias, 8> kRoots{{
    {"HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE"},
    {"HKLM", "HKEY_LOCAL_MACHINE"},
    {"HKEY_CURRENT_USER", "HKEY_CURRENT_USER"},
    {"HKCU", "HKEY_CURRENT_USER"},
    {"HKEY_CLASSES_ROOT", "HKEY_CLASSES_ROOT"},
    {"HKCR", "HKEY_CLASSES_ROOT"},
    {"HKEY_USERS", "HKEY_USERS"},
    {"HKU", "HKEY_USERS"},
}};

char FoldChar(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldChar(a[i]) != FoldChar(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view text)
{
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

void AppendUtf8(std::string& out, uint32_t codePoint)
{
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// UTF-16LE (after its BOM) to UTF-8; an unpaired surrogate becomes U+FFFD and
// an odd last byte is dropped.
std::string Utf16LeToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() / 2);
    const auto unitAt = [&](size_t i) {
        return static_cast<uint16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8));
    };
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const uint16_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
            const uint16_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((static_cast<uint32_t>(unit - 0xD800) << 10) | (low - 0xDC00)));
                i += 2;
                continue;
            }
        }
        AppendUtf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? 0xFFFD : unit);
    }
    return out;
}

// The file's text in UTF-8, or nullopt for an encoding we do not read.
std::optional<std::string> DecodeText(std::string_view bytes)
{
    if (bytes.starts_with("\xFF\xFE")) {
        return Utf16LeToUtf8(bytes.substr(2));
    }
    if (bytes.starts_with("\xFE\xFF")) {
        return std::nullopt; // UTF-16BE: regedit never writes it
    }
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
    }
    return std::string(bytes);
}

// Reads a quoted text at the start of `text` (which begins with '"'),
// resolving \\ and \"; advances `text` past the closing quote.
std::optional<std::string> ReadQuoted(std::string_view& text, std::string& error)
{
    std::string result;
    size_t i = 1;
    for (; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] != '\\') {
            result += text[i];
            continue;
        }
        if (i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            result += text[++i];
            continue;
        }
        error = "unknown escape in a quoted text";
        return std::nullopt;
    }
    if (i >= text.size()) {
        error = "missing closing quote";
        return std::nullopt;
    }
    text.remove_prefix(i + 1);
    return result;
}

std::optional<uint32_t> ParseDword(std::string_view digits)
{
    if (digits.empty() || digits.size() > 8) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char c : digits) {
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (FoldChar(c) >= 'A' && FoldChar(c) <= 'F') {
            digit = static_cast<uint32_t>(FoldChar(c) - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = (value << 4) | digit;
    }
    return value;
}

RegistryValue StringValue(const std::string& text)
{
    RegistryValue value;
    value.type = REG_SZ;
    value.data = text;
    value.data += '\0';
    return value;
}

RegistryValue DwordValue(uint32_t number)
{
    RegistryValue value;
    value.type = REG_DWORD;
    for (int shift = 0; shift < 32; shift += 8) {
        value.data += static_cast<char>((number >> shift) & 0xFF);
    }
    return value;
}

// The data part of a value line, after the '='.
std::optional<RegistryValue> ParseData(std::string_view data, std::string& error)
{
    if (data.starts_with('"')) {
        auto text = ReadQuoted(data, error);
        if (!text) {
            return std::nullopt;
        }
        if (!Trim(data).empty()) {
            error = "text after the quoted value";
            return std::nullopt;
        }
        return StringValue(*text);
    }
    constexpr std::string_view kDword = "dword:";
    if (data.size() >= kDword.size() && EqualsIgnoringCase(data.substr(0, kDword.size()), kDword)) {
        auto number = ParseDword(Trim(data.substr(kDword.size())));
        if (!number) {
            error = "a dword needs 1 to 8 hex digits";
            return std::nullopt;
        }
        return DwordValue(*number);
    }
    if (data == "-") {
        error = "value deletion is not supported";
        return std::nullopt;
    }
    error = "unsupported value type";
    return std::nullopt;
}

class Parser {
public:
    RegistryFileParse Run(std::string_view bytes)
    {
        for (const auto& root : kRoots) {
            result_.tree.keys[std::string(root.fullName)];
        }
        auto text = DecodeText(bytes);
        if (!text) {
            Problem(1, "unsupported encoding (UTF-16 big-endian)");
            return std::move(result_);
        }
        size_t lineNumber = 0;
        bool headerSeen = false;
        std::string_view rest = *text;
        while (!rest.empty()) {
            const size_t end = rest.find('\n');
            const std::string_view line = Trim(rest.substr(0, end));
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
            ++lineNumber;
            if (line.empty() || line.starts_with(';')) {
                continue;
            }
            if (!headerSeen) {
                if (line != kHeaderRegedit4 && line != kHeaderVersion5) {
                    Problem(lineNumber, "not a registry file: unknown header");
                    return std::move(result_);
                }
                headerSeen = true;
                continue;
            }
            ParseLine(lineNumber, line);
        }
        if (!headerSeen) {
            Problem(1, "not a registry file: no header");
        }
        return std::move(result_);
    }

private:
    void Problem(size_t line, std::string reason) { result_.problems.push_back({line, std::move(reason)}); }

    void ParseLine(size_t lineNumber, std::string_view line)
    {
        if (line.starts_with('[')) {
            ParseSection(lineNumber, line);
        } else {
            ParseValue(lineNumber, line);
        }
    }

    void ParseSection(size_t lineNumber, std::string_view line)
    {
        currentKey_ = nullptr;
        if (!line.ends_with(']') || line.size() < 3) {
            Problem(lineNumber, "malformed section");
            return;
        }
        const std::string_view path = line.substr(1, line.size() - 2);
        if (path.starts_with('-')) {
            Problem(lineNumber, "key deletion is not supported");
            return;
        }
        const size_t separator = path.find('\\');
        const auto root = RegistryRootName(path.substr(0, separator));
        if (!root) {
            Problem(lineNumber, "unknown root key");
            return;
        }
        const std::string_view subKey = separator == std::string_view::npos ? "" : path.substr(separator + 1);
        const auto full = JoinRegistryPath(*root, subKey);
        if (!full) {
            Problem(lineNumber, "malformed key path");
            return;
        }
        CreateWithParents(*full);
        currentKey_ = &result_.tree.keys[*full];
    }

    void CreateWithParents(const std::string& path)
    {
        for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1)) {
            result_.tree.keys[path.substr(0, at)];
        }
        result_.tree.keys[path];
    }

    void ParseValue(size_t lineNumber, std::string_view line)
    {
        std::string error;
        std::string name;
        if (line.starts_with('@')) {
            line.remove_prefix(1);
        } else if (line.starts_with('"')) {
            auto quoted = ReadQuoted(line, error);
            if (!quoted) {
                Problem(lineNumber, error);
                return;
            }
            name = *quoted;
        } else {
            Problem(lineNumber, "not a section, a value or a comment");
            return;
        }
        line = Trim(line);
        if (!line.starts_with('=')) {
            Problem(lineNumber, "missing '=' after the value name");
            return;
        }
        auto value = ParseData(Trim(line.substr(1)), error);
        if (!value) {
            Problem(lineNumber, error);
            return;
        }
        if (currentKey_ == nullptr) {
            Problem(lineNumber, "value outside a valid section");
            return;
        }
        currentKey_->values[FoldRegistryName(name)] = std::move(*value);
    }

    RegistryFileParse result_;
    RegistryKey* currentKey_ = nullptr;
};

} // namespace

std::string FoldRegistryName(std::string_view name)
{
    std::string folded(name);
    for (char& c : folded) {
        c = FoldChar(c);
    }
    return folded;
}

std::optional<std::string> JoinRegistryPath(const std::string& parent, std::string_view subKey)
{
    if (subKey.starts_with('\\')) {
        return std::nullopt;
    }
    std::string path = parent;
    while (!subKey.empty()) {
        const size_t end = subKey.find('\\');
        const std::string_view component = subKey.substr(0, end);
        if (!component.empty()) {
            path += '\\';
            path += FoldRegistryName(component);
        }
        subKey = end == std::string_view::npos ? std::string_view() : subKey.substr(end + 1);
    }
    return path;
}

const RegistryKey* FindRegistryKey(const RegistryTree& tree, const std::string& foldedPath)
{
    auto found = tree.keys.find(foldedPath);
    return found == tree.keys.end() ? nullptr : &found->second;
}

std::optional<std::string> RegistryRootName(std::string_view name)
{
    for (const auto& root : kRoots) {
        if (EqualsIgnoringCase(name, root.alias)) {
            return std::string(root.fullName);
        }
    }
    return std::nullopt;
}

RegistryFileParse ParseRegistryFile(std::string_view bytes)
{
    return Parser().Run(bytes);
}

} // namespace win32posix
