#include "protocol/Names.h"

namespace qek::inline protocol {

namespace {

bool IsAsciiLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsForbiddenCharacter(unsigned char byte)
{
    return byte < 0x20 || std::string_view("<>:\"/\\|?*").find(static_cast<char>(byte)) != std::string_view::npos;
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

// The part before the first dot, without the spaces before that dot: "CON",
// "con .txt" and "Con.tar.gz" all name the console.
bool IsDeviceName(std::string_view component)
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

bool HasForbiddenCharacter(std::string_view component)
{
    for (std::size_t i = 0; i < component.size(); i += CharacterLength(component, i)) {
        if (CharacterLength(component, i) == 1 && IsForbiddenCharacter(static_cast<unsigned char>(component[i]))) {
            return true;
        }
    }
    return false;
}

} // namespace

std::size_t CharacterLength(std::string_view text, std::size_t at)
{
    const bool pairs = at + 1 < text.size() && IsLeadByte(static_cast<unsigned char>(text[at])) &&
                       static_cast<unsigned char>(text[at + 1]) >= 0x40;
    return pairs ? 2 : 1;
}

std::size_t FindCharacter(std::string_view text, char c, std::size_t from)
{
    for (std::size_t i = from; i < text.size(); i += CharacterLength(text, i)) {
        if (text[i] == c && CharacterLength(text, i) == 1) {
            return i;
        }
    }
    return std::string_view::npos;
}

std::size_t FindLastCharacter(std::string_view text, char c)
{
    std::size_t last = std::string_view::npos;
    for (std::size_t at = FindCharacter(text, c); at != std::string_view::npos; at = FindCharacter(text, c, at + 1)) {
        last = at;
    }
    return last;
}

bool EndsWithCharacter(std::string_view text, char c)
{
    return !text.empty() && FindLastCharacter(text, c) == text.size() - 1;
}

std::string_view TrimTrailingCharacter(std::string_view text, char c)
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

std::vector<std::string_view> SplitAtBackslashes(std::string_view text)
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

bool IsSafeComponent(std::string_view component)
{
    if (component.empty() || EndsWithCharacter(component, '.') || EndsWithCharacter(component, ' ')) {
        return false;
    }
    return !HasForbiddenCharacter(component) && !IsDeviceName(component);
}

std::optional<DrivePath> ParseDrivePath(std::string_view text)
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
