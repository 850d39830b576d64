// Conversions through the C library's iconv on POSIX and the Win32 calls on
// Windows; no tables of our own.
#include "client_codepage.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>

#include <cerrno>
#endif

namespace qelsrv {

namespace {

#ifndef _WIN32
const char* IconvName(uint32_t codePage)
{
    switch (codePage) {
    case 936:
        return "CP936";
    case 1252:
        return "CP1252";
    case 65001:
        return "UTF-8";
    default:
        return nullptr;
    }
}

// `text` from one encoding to another; nullopt at the first sequence that
// does not convert, unless `fallback` stands for it (one per byte).
std::optional<std::string> Convert(const char* to, const char* from, std::string_view text,
                                   std::optional<char> fallback = std::nullopt)
{
    if (to == nullptr || from == nullptr)
        return std::nullopt;
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out;
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char buffer[512];
    bool ok = true;
    while (inLeft > 0) {
        char* next = buffer;
        size_t outLeft = sizeof buffer;
        size_t result = iconv(cd, &in, &inLeft, &next, &outLeft);
        int error = errno;
        out.append(buffer, static_cast<size_t>(next - buffer));
        if (result != static_cast<size_t>(-1) || error == E2BIG)
            continue;
        if (!fallback || (error != EILSEQ && error != EINVAL)) {
            ok = false;
            break;
        }
        out += *fallback;
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    if (!ok)
        return std::nullopt;
    return out;
}
#else
std::optional<std::string> WideToClient(const std::wstring& wide, uint32_t codePage)
{
    if (wide.empty())
        return std::string{};
    BOOL usedDefault = FALSE;
    BOOL* used = codePage == CP_UTF8 ? nullptr : &usedDefault;
    DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    int length =
        WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, used);
    if (length <= 0 || usedDefault)
        return std::nullopt;
    std::string narrow(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), narrow.data(), length, nullptr,
                        used);
    return narrow;
}

std::optional<std::wstring> ToWide(std::string_view text, uint32_t codePage)
{
    if (text.empty())
        return std::wstring{};
    int length =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0)
        return std::nullopt;
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}
#endif

} // namespace

bool IsSupportedClientCodePage(uint32_t codePage)
{
    return codePage == 936 || codePage == 1252 || codePage == 65001;
}

const qek::NameRules& ClientNames(uint32_t codePage)
{
    static const qek::NameRules gbk(qek::LeadBytesOfCodePage(936));
    static const qek::NameRules singleByte{qek::LeadBytes()};
    return codePage == 936 ? gbk : singleByte;
}

std::optional<std::string> ArgumentToClient(std::string_view text, uint32_t codePage)
{
#ifdef _WIN32
    std::optional<std::wstring> wide = ToWide(text, CP_ACP);
    if (!wide)
        return std::nullopt;
    return WideToClient(*wide, codePage);
#else
    return Convert(IconvName(codePage), "UTF-8", text);
#endif
}

std::optional<std::string> FileNameToClient(const std::filesystem::path& name, uint32_t codePage)
{
#ifdef _WIN32
    return WideToClient(name.native(), codePage);
#else
    return Convert(IconvName(codePage), "UTF-8", name.native());
#endif
}

std::string ClientToDisplay(std::string_view text, uint32_t codePage)
{
#ifdef _WIN32
    std::optional<std::wstring> wide = ToWide(text, codePage);
    if (!wide)
        return std::string(text);
    return WideToClient(*wide, CP_ACP).value_or(std::string(text));
#else
    return Convert("UTF-8", IconvName(codePage), text, '?').value_or(std::string(text));
#endif
}

} // namespace qelsrv
