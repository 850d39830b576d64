#include "protocol/Names.h"

namespace qek::inline protocol {

namespace {

// No double-byte code page has a second byte below this one.
constexpr unsigned char kLowestSecondByte = 0x40;

bool IsAsciiLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsReservedCharacter(unsigned char byte)
{
    return std::string_view("<>:\"/\\|?*").find(static_cast<char>(byte)) != std::string_view::npos;
}

bool EqualsIgnoringAsciiCase(std::string_view text, std::string_view upper)
{
    if (text.size() != upper.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 'a' + 'A') : text[i];
        if (c != upper[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

LeadBytes LeadBytesOfCodePage(uint32_t codePage)
{
    if (codePage != 936) {
        return LeadBytes();
    }
    return LeadBytes::Asking([](unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; });
}

std::size_t NameRules::CharacterLength(std::string_view text, std::size_t at) const
{
    return at + 1 < text.size() && lead_(static_cast<unsigned char>(text[at])) ? 2 : 1;
}

std::size_t NameRules::FindCharacter(std::string_view text, char c, std::size_t from) const
{
    for (std::size_t i = from; i < text.size(); i += CharacterLength(text, i)) {
        if (text[i] == c && CharacterLength(text, i) == 1) {
            return i;
        }
    }
    return std::string_view::npos;
}

std::size_t NameRules::FindLastCharacter(std::string_view text, char c) const
{
    std::size_t last = std::string_view::npos;
    for (std::size_t at = FindCharacter(text, c); at != std::string_view::npos; at = FindCharacter(text, c, at + 1)) {
        last = at;
    }
    return last;
}

bool NameRules::EndsWithCharacter(std::string_view text, char c) const
{
    return !text.empty() && FindLastCharacter(text, c) == text.size() - 1;
}

std::string_view NameRules::TrimTrailingCharacter(std::string_view text, char c) const
{
    // From the front: only there is it known where each character begins.
    std::size_t keep = 0;
    for (std::size_t i = 0; i < text.size(); i += CharacterLength(text, i)) {
        if (text[i] != c || CharacterLength(text, i) != 1) {
            keep = i + CharacterLength(text, i);
        }
    }
    return text.substr(0, keep);
}

std::vector<std::string_view> NameRules::SplitAtBackslashes(std::string_view text) const
{
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t at = FindCharacter(text, '\\'); at != std::string_view::npos;
         at = FindCharacter(text, '\\', at + 1)) {
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

std::string NameRules::AsciiLower(std::string_view text) const
{
    std::string lowered(text);
    for (std::size_t i = 0; i < lowered.size(); i += CharacterLength(lowered, i)) {
        if (CharacterLength(lowered, i) == 1 && lowered[i] >= 'A' && lowered[i] <= 'Z') {
            lowered[i] = static_cast<char>(lowered[i] - 'A' + 'a');
        }
    }
    return lowered;
}

// The part before the first dot, without the spaces before that dot: "CON",
// "con .txt" and "Con.tar.gz" all name the console.
bool NameRules::IsDeviceName(std::string_view component) const
{
    std::string_view base = component.substr(0, FindCharacter(component, '.'));
    base = TrimTrailingCharacter(base, ' ');
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
        if (EqualsIgnoringAsciiCase(base, device)) {
            return true;
        }
    }
    if (base.size() == 4 && base[3] >= '1' && base[3] <= '9') {
        return EqualsIgnoringAsciiCase(base.substr(0, 3), "COM") || EqualsIgnoringAsciiCase(base.substr(0, 3), "LPT");
    }
    return false;
}

NameProblem NameRules::ComponentProblem(std::string_view component) const
{
    if (component.empty()) {
        return NameProblem::Empty;
    }
    if (EndsWithCharacter(component, '.') || EndsWithCharacter(component, ' ')) {
        return NameProblem::TrailingDotOrSpace;
    }
    for (std::size_t i = 0; i < component.size(); i += CharacterLength(component, i)) {
        const auto byte = static_cast<unsigned char>(component[i]);
        if (CharacterLength(component, i) == 2) {
            if (static_cast<unsigned char>(component[i + 1]) < kLowestSecondByte) {
                return NameProblem::BrokenCharacter;
            }
        } else if (lead_(byte)) {
            return NameProblem::BrokenCharacter; // a lead byte that ends the name
        } else if (byte < 0x20) {
            return NameProblem::ControlCharacter;
        } else if (IsReservedCharacter(byte)) {
            return NameProblem::ReservedCharacter;
        }
    }
    return IsDeviceName(component) ? NameProblem::DeviceName : NameProblem::None;
}

bool NameRules::IsSafeEntryName(std::string_view name) const
{
    if (name.empty() || name.front() != '\\') {
        return false;
    }
    name.remove_prefix(1);
    if (EndsWithCharacter(name, '\\')) {
        name.remove_suffix(1); // a directory entry
    }
    if (name.empty()) {
        return true; // "\": the root itself
    }
    for (std::string_view component : SplitAtBackslashes(name)) {
        if (!IsSafeComponent(component)) {
            return false;
        }
    }
    return true;
}

bool NameRules::IsUsableSubPath(std::string_view subPath) const
{
    // "\\" would pass as a directory entry naming the root, but leave an
    // empty component in every path.
    return EndsWithCharacter(subPath, '\\') && subPath != "\\\\" && IsSafeEntryName(subPath);
}

std::optional<DrivePath> NameRules::ParseDrivePath(std::string_view text) const
{
    if (text.size() < 3 || !IsAsciiLetter(text[0]) || text[1] != ':' || text[2] != '\\') {
        return std::nullopt;
    }
    DrivePath path;
    path.driveLetter = text[0];
    std::string_view below = text.substr(3);
    if (below.empty()) {
        path.endsWithBackslash = true; // "D:\", the root
        return path;
    }
    if (EndsWithCharacter(below, '\\')) {
        path.endsWithBackslash = true;
        below.remove_suffix(1);
    }
    path.components = SplitAtBackslashes(below);
    for (std::string_view component : path.components) {
        if (!IsSafeComponent(component)) {
            return std::nullopt;
        }
    }
    return path;
}

} // namespace qek::inline protocol
