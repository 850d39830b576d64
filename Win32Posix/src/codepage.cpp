// Emulates the ANSI code page of a Windows process: QEL_CODEPAGE chooses 936
// (GBK, the default: the PCs the client serves are Chinese), 1252 or 65001,
// and text crosses to and from the host's UTF-8 names through the C library's
// iconv. In 936 a double-byte character begins with a lead byte from 0x81 to
// 0xFE, and its second byte (0x40 to 0xFE) may equal a backslash or a letter,
// so text in it is walked character by character. The calls GetACP,
// IsDBCSLeadByte, CharNextA, CharPrevA, MultiByteToWideChar and
// WideCharToMultiByte follow Windows (as Wine gives them) for these three code
// pages. Not emulated: other code pages, CP_OEMCP as anything but the ANSI
// code page, best-fit mappings (an unrepresentable character always becomes
// the default character), and the flags other than MB_ERR_INVALID_CHARS.
#include "codepage.h"

#include "protocol/Names.h"

#include "errors.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "WCHAR text is converted as UTF-16LE");

namespace win32posix {
namespace {

const char* IconvName(UINT codePage)
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

constexpr const char* kUtf16 = "UTF-16LE";

// One converter per thread and direction: iconv_t holds state, and opening
// one costs more than a conversion of a name.
class Converters {
public:
    ~Converters()
    {
        for (auto& entry : open_)
            iconv_close(entry.second);
    }
    iconv_t Get(const char* to, const char* from)
    {
        std::string key = std::string(to) + "<" + from;
        auto found = open_.find(key);
        if (found != open_.end()) {
            iconv(found->second, nullptr, nullptr, nullptr, nullptr); // back to the initial state
            return found->second;
        }
        iconv_t cd = iconv_open(to, from);
        if (cd != iconv_t(-1))
            open_.emplace(key, cd);
        return cd;
    }

private:
    std::map<std::string, iconv_t> open_;
};

iconv_t ConverterFor(const char* to, const char* from)
{
    thread_local Converters converters;
    return converters.Get(to, from);
}

// What to do with an input sequence that cannot be converted at `position`:
// false stops the conversion; else `skip` input bytes are dropped and
// `replacement` (already in the target encoding) is written instead.
struct BadInput {
    size_t skip = 1;
    std::string replacement;
};

template <typename OnBad>
bool Transcode(const char* to, const char* from, std::string_view input, std::string& output, OnBad onBad)
{
    output.clear();
    iconv_t cd = ConverterFor(to, from);
    if (cd == iconv_t(-1))
        return false;
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    char buffer[1024];
    while (inLeft > 0) {
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        size_t result = iconv(cd, &in, &inLeft, &out, &outLeft);
        int error = errno;
        output.append(buffer, size_t(out - buffer));
        if (result != size_t(-1))
            continue;
        if (error == E2BIG)
            continue;
        if (error != EILSEQ && error != EINVAL)
            return false;
        BadInput bad;
        if (!onBad(size_t(in - input.data()), bad))
            return false;
        bad.skip = std::min(std::max<size_t>(bad.skip, 1), inLeft);
        output += bad.replacement;
        in += bad.skip;
        inLeft -= bad.skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &out, &outLeft);
    output.append(buffer, size_t(out - buffer));
    return true;
}

// The length of the well-formed UTF-8 sequence at text[at], or 0.
size_t Utf8SequenceLength(std::string_view text, size_t at)
{
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char first = byte(at);
    if (first < 0x80)
        return 1;
    size_t length = first >= 0xC2 && first <= 0xDF   ? 2
                    : first >= 0xE0 && first <= 0xEF ? 3
                    : first >= 0xF0 && first <= 0xF4 ? 4
                                                     : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    unsigned char second = byte(at + 1);
    if (first == 0xE0 && second < 0xA0)
        return 0; // overlong
    if (first == 0xED && second >= 0xA0)
        return 0; // surrogate
    if (first == 0xF0 && second < 0x90)
        return 0; // overlong
    if (first == 0xF4 && second >= 0x90)
        return 0; // above U+10FFFF
    return length;
}

struct CodePageCache {
    std::mutex mutex;
    bool valid = false;
    std::optional<std::string> variable;
    std::optional<UINT> codePage;
};

std::optional<UINT> ParseCodePage(const std::optional<std::string>& variable)
{
    if (!variable || variable->empty())
        return kDefaultCodePage;
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(variable->c_str(), &end, 10);
    bool number = errno == 0 && *end == '\0' && (*variable)[0] >= '0' && (*variable)[0] <= '9';
    if (number && value <= 0xFFFFFFFFul && IsSupportedCodePage(UINT(value)))
        return UINT(value);
    // Reported once per distinct value: the cache is rebuilt only when the value changes.
    std::fprintf(stderr,
                 "win32posix: QEL_CODEPAGE \"%s\" is not a supported code page (936, 1252 or 65001): "
                 "every call that takes or gives a name fails with ERROR_BAD_ENVIRONMENT\n",
                 variable->c_str());
    return std::nullopt;
}

std::optional<UINT> CodePageArgument(UINT codePage)
{
    if (codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP)
        return ProcessCodePage();
    if (IsSupportedCodePage(codePage))
        return codePage;
    return std::nullopt;
}

} // namespace

bool IsSupportedCodePage(UINT codePage)
{
    return IconvName(codePage) != nullptr;
}

std::optional<UINT> ProcessCodePage()
{
    static CodePageCache cache;
    const char* raw = std::getenv("QEL_CODEPAGE");
    std::optional<std::string> variable = raw ? std::optional<std::string>(raw) : std::nullopt;
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (!cache.valid || cache.variable != variable) {
        cache.codePage = ParseCodePage(variable);
        cache.variable = variable;
        cache.valid = true;
    }
    return cache.codePage;
}

UINT ActiveCodePage()
{
    return ProcessCodePage().value_or(kDefaultCodePage);
}

namespace {

// The names of a double-byte code page follow the one rule of the client and
// the server tool (Protocol/), with the lead bytes of that code page.
const qek::LeadBytes& GbkLeadBytes()
{
    static const qek::LeadBytes lead = qek::LeadBytesOfCodePage(936);
    return lead;
}

const qek::NameRules& GbkNames()
{
    static const qek::NameRules names(GbkLeadBytes());
    return names;
}

} // namespace

bool IsLeadByteIn(UINT codePage, unsigned char byte)
{
    return codePage == 936 && GbkLeadBytes()(byte);
}

size_t CharLengthAt(UINT codePage, std::string_view text, size_t at)
{
    if (codePage == 936)
        return GbkNames().CharacterLength(text, at);
    if (codePage == 65001) {
        size_t length = Utf8SequenceLength(text, at);
        return length == 0 ? 1 : length;
    }
    return 1;
}

std::optional<std::string> CodePageToUtf8(UINT codePage, std::string_view text)
{
    const char* name = IconvName(codePage);
    if (!name)
        return std::nullopt;
    std::string out;
    if (codePage == 65001) {
        for (size_t i = 0; i < text.size(); i += Utf8SequenceLength(text, i))
            if (Utf8SequenceLength(text, i) == 0)
                return std::nullopt;
        return std::string(text);
    }
    if (!Transcode("UTF-8", name, text, out, [](size_t, BadInput&) { return false; }))
        return std::nullopt;
    return out;
}

std::string Utf8ToCodePage(UINT codePage, std::string_view text, char fallback, bool* lossless)
{
    if (lossless)
        *lossless = true;
    const char* name = IconvName(codePage);
    std::string out;
    bool ok = name && Transcode(name, "UTF-8", text, out, [&](size_t at, BadInput& bad) {
                  if (lossless)
                      *lossless = false;
                  size_t length = Utf8SequenceLength(text, at);
                  bad.skip = length == 0 ? 1 : length; // a byte of no well-formed sequence: one fallback for it
                  bad.replacement = std::string(1, fallback);
                  return true;
              });
    if (!ok) {
        if (lossless)
            *lossless = false;
        return std::string();
    }
    return out;
}

std::optional<std::string> ToHost(std::string_view ansi, bool* badEnvironment)
{
    std::optional<UINT> codePage = ProcessCodePage();
    if (badEnvironment)
        *badEnvironment = !codePage;
    if (!codePage)
        return std::nullopt;
    return CodePageToUtf8(*codePage, ansi);
}

std::string FromHost(std::string_view utf8, bool* lossless)
{
    return Utf8ToCodePage(ActiveCodePage(), utf8, '?', lossless);
}

} // namespace win32posix

using namespace win32posix;

extern "C" UINT WINAPI GetACP(void)
{
    return ActiveCodePage();
}

extern "C" BOOL WINAPI IsDBCSLeadByte(BYTE TestChar)
{
    return IsLeadByteIn(ActiveCodePage(), TestChar) ? TRUE : FALSE;
}

// As Windows: a lead byte followed by the terminator is one character alone.
extern "C" LPSTR WINAPI CharNextA(LPCSTR lpsz)
{
    if (!lpsz || *lpsz == '\0')
        return const_cast<LPSTR>(lpsz);
    if (IsDBCSLeadByte(BYTE(lpsz[0])) && lpsz[1] != '\0')
        return const_cast<LPSTR>(lpsz + 2);
    return const_cast<LPSTR>(lpsz + 1);
}

// The start of the character before `lpszCurrent`, found by walking from
// `lpszStart` (a trail byte alone does not tell where its character begins).
extern "C" LPSTR WINAPI CharPrevA(LPCSTR lpszStart, LPCSTR lpszCurrent)
{
    if (!lpszStart || !lpszCurrent || lpszCurrent <= lpszStart)
        return const_cast<LPSTR>(lpszStart);
    const char* p = lpszStart;
    while (true) {
        const char* next = CharNextA(p);
        if (next >= lpszCurrent || next == p)
            break;
        p = next;
    }
    return const_cast<LPSTR>(p);
}

namespace {

// Windows' counting contract shared by both conversions: a length of -1 takes
// the text with its terminator; a zero output size asks for the size needed.
int FinishOutput(const std::string& bytes, size_t unit, void* output, int outputUnits)
{
    size_t units = bytes.size() / unit;
    if (units > size_t(0x7FFFFFFF)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (outputUnits == 0)
        return int(units);
    if (units > size_t(outputUnits)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(output, bytes.data(), bytes.size());
    return int(units);
}

} // namespace

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar)
{
    std::optional<UINT> codePage = CodePageArgument(CodePage);
    if (!codePage || !lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 || cbMultiByte < -1 ||
        (cchWideChar > 0 && !lpWideCharStr) || (dwFlags & ~DWORD(MB_ERR_INVALID_CHARS | MB_PRECOMPOSED))) {
        SetLastError(!codePage && CodePage <= CP_THREAD_ACP ? ERROR_BAD_ENVIRONMENT : ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : size_t(cbMultiByte);
    std::string_view text(lpMultiByteStr, length);
    bool strict = dwFlags & MB_ERR_INVALID_CHARS;
    // An undefined sequence becomes U+FFFD in UTF-8 and '?' in the others, as
    // Wine gives it; a DBCS lead byte takes the byte after it along.
    std::string replacement = *codePage == 65001 ? std::string("\xFD\xFF", 2) : std::string("?\0", 2);
    std::string wide;
    bool ok = Transcode(kUtf16, IconvName(*codePage), text, wide, [&](size_t at, BadInput& bad) {
        if (strict)
            return false;
        bad.skip = *codePage == 65001 ? 1 : CharLengthAt(*codePage, text, at);
        bad.replacement = replacement;
        return true;
    });
    if (!ok) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    return FinishOutput(wide, 2, lpWideCharStr, cchWideChar);
}

extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                          LPBOOL lpUsedDefaultChar)
{
    std::optional<UINT> codePage = CodePageArgument(CodePage);
    bool utf8 = codePage && *codePage == 65001;
    if (!codePage || !lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 || cchWideChar < -1 ||
        (cbMultiByte > 0 && !lpMultiByteStr) || (utf8 && (lpDefaultChar || lpUsedDefaultChar))) {
        SetLastError(!codePage && CodePage <= CP_THREAD_ACP ? ERROR_BAD_ENVIRONMENT : ERROR_INVALID_PARAMETER);
        return 0;
    }
    (void)dwFlags; // WC_NO_BEST_FIT_CHARS and the others: no best fit is ever made
    size_t units = 0;
    if (cchWideChar == -1) {
        while (lpWideCharStr[units] != 0)
            ++units;
        ++units;
    } else {
        units = size_t(cchWideChar);
    }
    std::string_view text(reinterpret_cast<const char*>(lpWideCharStr), units * 2);
    std::string fallback = lpDefaultChar ? std::string(lpDefaultChar) : std::string("?");
    if (utf8)
        fallback = "\xEF\xBF\xBD"; // U+FFFD for an unpaired surrogate
    bool usedDefault = false;
    std::string bytes;
    bool ok = Transcode(IconvName(*codePage), kUtf16, text, bytes, [&](size_t at, BadInput& bad) {
        usedDefault = true;
        bad.skip = 2;
        // A surrogate pair that the code page cannot hold is one character.
        if (at + 4 <= text.size()) {
            uint16_t high = uint16_t(uint8_t(text[at]) | uint8_t(text[at + 1]) << 8);
            uint16_t low = uint16_t(uint8_t(text[at + 2]) | uint8_t(text[at + 3]) << 8);
            if (high >= 0xD800 && high <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF)
                bad.skip = 4;
        }
        bad.replacement = fallback;
        return true;
    });
    if (!ok) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (lpUsedDefaultChar)
        *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    return FinishOutput(bytes, 1, lpMultiByteStr, cbMultiByte);
}
