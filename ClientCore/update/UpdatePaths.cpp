#include "update/UpdatePaths.h"

#include <cstring>
#include <string>

namespace {

bool IsLink(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

} // namespace

bool JoinPath(char* out, size_t outSize, const char* first, const char* second)
{
    const size_t firstLength = std::strlen(first);
    const size_t secondLength = std::strlen(second);
    if (outSize == 0) {
        return false;
    }
    if (firstLength + secondLength >= outSize) {
        out[0] = '\0';
        return false;
    }
    std::memcpy(out, first, firstLength);
    std::memcpy(out + firstLength, second, secondLength + 1);
    return true;
}

bool HasTerminator(const char* field, size_t size)
{
    return std::memchr(field, 0, size) != nullptr;
}

namespace {

bool IsForbiddenCharacter(unsigned char byte)
{
    return byte < 0x20 || std::string_view("<>:\"/\\|?*").find(static_cast<char>(byte)) != std::string_view::npos;
}

// Whether a single-byte character outside a double-byte one is forbidden
// anywhere in the component.
bool HasForbiddenCharacter(std::string_view component)
{
    for (size_t i = 0; i < component.size(); ++i) {
        const auto byte = static_cast<unsigned char>(component[i]);
        // Second bytes of double-byte characters start at 0x40: a lead byte
        // before anything lower (a slash, a colon) stands alone.
        const bool secondByteFollows = i + 1 < component.size() && static_cast<unsigned char>(component[i + 1]) >= 0x40;
        if (IsDBCSLeadByte(byte) && secondByteFollows) {
            ++i; // the second byte belongs to the character
            continue;
        }
        if (IsForbiddenCharacter(byte)) {
            return true;
        }
    }
    return false;
}

bool EqualsIgnoringAsciiCase(std::string_view text, std::string_view upper)
{
    if (text.size() != upper.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
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
    std::string_view base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') {
        base.remove_suffix(1);
    }
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

} // namespace

bool IsSafeComponent(std::string_view component)
{
    if (component.empty() || component.back() == '.' || component.back() == ' ') {
        return false;
    }
    return !HasForbiddenCharacter(component) && !IsDeviceName(component);
}

bool IsSafeEntryName(const char* name, size_t fieldSize)
{
    const void* nul = std::memchr(name, 0, fieldSize);
    if (nul == nullptr) {
        return false;
    }
    std::string_view text(name, static_cast<size_t>(static_cast<const char*>(nul) - name));
    if (text.empty() || text.front() != '\\') {
        return false;
    }
    text.remove_prefix(1);
    if (!text.empty() && text.back() == '\\') {
        text.remove_suffix(1); // a directory entry
    }
    if (text.empty()) {
        return true; // "\": the root itself
    }
    while (true) {
        const size_t separator = text.find('\\');
        if (!IsSafeComponent(text.substr(0, separator))) {
            return false;
        }
        if (separator == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(separator + 1);
    }
}

Status RemoveLinkAt(const char* path)
{
    // Without a trailing backslash, so that the link itself is named and not
    // the directory it leads to.
    std::string link(path);
    while (link.size() > 1 && link.back() == '\\') {
        link.pop_back();
    }
    const DWORD attributes = GetFileAttributesA(link.c_str());
    if (!IsLink(attributes)) {
        return Status::Ok();
    }
    // A directory link goes with RemoveDirectoryA, a file link with
    // DeleteFileA; the other call is tried when the first one refuses.
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (directory ? RemoveDirectoryA(link.c_str()) : DeleteFileA(link.c_str())) {
        return Status::Ok();
    }
    const Status failure = Status::LastError(ERROR_ACCESS_DENIED);
    if (directory ? DeleteFileA(link.c_str()) : RemoveDirectoryA(link.c_str())) {
        return Status::Ok();
    }
    return failure;
}

Status ReplaceLinksBelowRoot(const char* root, const char* name)
{
    std::string path(root);
    std::string_view rest(name);
    while (!rest.empty() && rest.front() == '\\') {
        rest.remove_prefix(1);
    }
    while (!rest.empty()) {
        const size_t separator = rest.find('\\');
        const bool last = separator == std::string_view::npos || separator + 1 == rest.size();
        if (!path.empty() && path.back() != '\\') {
            path += '\\';
        }
        path += rest.substr(0, separator);
        const DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return Status::Ok(); // nothing below exists yet, so no link either
        }
        if (IsLink(attributes)) {
            const Status removed = RemoveLinkAt(path.c_str());
            if (removed.Failed() || last) {
                return removed;
            }
            if (!CreateDirectoryA(path.c_str(), nullptr)) {
                return Status::LastError(ERROR_ACCESS_DENIED);
            }
        }
        if (separator == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(separator + 1);
    }
    return Status::Ok();
}
