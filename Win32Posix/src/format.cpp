// wsprintfA / wvsprintfA as user32 provides them: "%[-][#][0][width][.precision]type"
// with the types c C d i u x X s S p, the size prefixes h and l, and output
// capped at 1024 bytes including the terminator. Not emulated: "*" widths,
// floating point, I64, the code-page conversion of wide strings (%ls and %S
// keep ASCII and turn every other UTF-16 unit into '?'), and the padding Wine
// gives an unknown type ("%5y"): an unknown type prints nothing and its
// character is copied as ordinary text. Unlike Wine, which reports 1024 for a
// truncated output, the result is always the number of characters stored.
#include <windows.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr size_t kOutputBytes = 1024;  // including the terminator
constexpr unsigned kWidthLimit = 4096; // wider than any output that fits

// Appends to the caller's buffer, dropping whatever does not fit.
class Output {
public:
    explicit Output(char* buffer) : buffer_(buffer) { }

    void Put(char c)
    {
        if (used_ < kOutputBytes - 1) {
            buffer_[used_++] = c;
        }
    }
    void Repeat(char c, size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            Put(c);
        }
    }
    void Append(const char* text, size_t length)
    {
        for (size_t i = 0; i < length; ++i) {
            Put(text[i]);
        }
    }
    int Finish()
    {
        buffer_[used_] = '\0';
        return static_cast<int>(used_);
    }

private:
    char* buffer_;
    size_t used_ = 0;
};

enum class Size { Default, Short, Long };

struct Spec {
    bool leftAlign = false;
    bool hexPrefix = false;
    bool zeroPad = false;
    unsigned width = 0;
    unsigned precision = 0; // 0: none given (".0" counts as none, as in user32)
    Size size = Size::Default;
    char type = '\0';
};

unsigned ParseNumber(const char*& p)
{
    unsigned value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + static_cast<unsigned>(*p - '0');
        if (value > kWidthLimit) {
            value = kWidthLimit;
        }
        ++p;
    }
    return value;
}

// Reads the conversion after '%'; p ends on the type character, which the
// caller consumes only when it knows the type.
Spec ParseSpec(const char*& p)
{
    Spec spec;
    // Each flag at most once and in this order, as user32 reads them.
    if (*p == '-') {
        spec.leftAlign = true;
        ++p;
    }
    if (*p == '#') {
        spec.hexPrefix = true;
        ++p;
    }
    if (*p == '0') {
        spec.zeroPad = true;
        ++p;
    }
    spec.width = ParseNumber(p);
    if (*p == '.') {
        ++p;
        spec.precision = ParseNumber(p);
    }
    if (*p == 'l') {
        spec.size = Size::Long;
        ++p;
    } else if (*p == 'h') {
        spec.size = Size::Short;
        ++p;
    }
    spec.type = *p;
    return spec;
}

void PadText(Output& out, const Spec& spec, const char* text, size_t length)
{
    const size_t padding = spec.width > length ? spec.width - length : 0;
    if (!spec.leftAlign) {
        out.Repeat(' ', padding);
    }
    out.Append(text, length);
    if (spec.leftAlign) {
        out.Repeat(' ', padding);
    }
}

char NarrowUnit(uint16_t unit)
{
    return unit < 0x80 ? static_cast<char>(unit) : '?';
}

void FormatNarrowString(Output& out, const Spec& spec, const char* text)
{
    if (text == nullptr) {
        text = "(null)";
    }
    size_t length = spec.precision > 0 ? strnlen(text, spec.precision) : strlen(text);
    PadText(out, spec, text, length);
}

void FormatWideString(Output& out, const Spec& spec, const uint16_t* text)
{
    if (text == nullptr) {
        FormatNarrowString(out, spec, nullptr);
        return;
    }
    char narrow[kOutputBytes];
    size_t length = 0;
    while (text[length] != 0 && length < sizeof narrow && (spec.precision == 0 || length < spec.precision)) {
        narrow[length] = NarrowUnit(text[length]);
        ++length;
    }
    PadText(out, spec, narrow, length);
}

// Digits of value in the given base, most significant first, into digits[].
size_t ToDigits(uint64_t value, unsigned base, bool upper, char* digits)
{
    const char* symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[32];
    size_t count = 0;
    do {
        reversed[count++] = symbols[value % base];
        value /= base;
    } while (value != 0);
    for (size_t i = 0; i < count; ++i) {
        digits[i] = reversed[count - 1 - i];
    }
    return count;
}

// The layout user32 gives a number: the sign counts towards the precision, the
// hex prefix stands outside the width, zero padding goes after sign and prefix.
void FormatNumber(Output& out, const Spec& spec, bool negative, uint64_t magnitude, unsigned base, bool upper,
                  unsigned minimumDigits)
{
    char digits[32];
    const size_t digitCount = ToDigits(magnitude, base, upper, digits);
    const size_t length = digitCount + (negative ? 1 : 0);
    const size_t precision =
        spec.precision > length ? spec.precision : (minimumDigits > length ? minimumDigits : length);
    const size_t width = spec.width > precision ? spec.width : precision;
    const size_t padding = width - precision;
    const bool prefixed = spec.hexPrefix && base == 16;

    if (!spec.leftAlign && !spec.zeroPad) {
        out.Repeat(' ', padding);
    }
    if (prefixed) {
        out.Append(upper ? "0X" : "0x", 2);
    }
    if (negative) {
        out.Put('-');
    }
    if (!spec.leftAlign && spec.zeroPad) {
        out.Repeat('0', padding);
    }
    out.Repeat('0', precision - length);
    out.Append(digits, digitCount);
    if (spec.leftAlign) {
        out.Repeat(' ', padding);
    }
}

void FormatSigned(Output& out, const Spec& spec, va_list& args)
{
    int32_t value = va_arg(args, int32_t);
    if (spec.size == Size::Short) {
        value = static_cast<int16_t>(value);
    }
    const bool negative = value < 0;
    const uint64_t magnitude = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
    FormatNumber(out, spec, negative, magnitude, 10, false, 1);
}

void FormatUnsigned(Output& out, const Spec& spec, va_list& args, unsigned base, bool upper)
{
    uint32_t value = va_arg(args, uint32_t);
    if (spec.size == Size::Short) {
        value = static_cast<uint16_t>(value);
    }
    FormatNumber(out, spec, false, value, base, upper, 1);
}

void FormatPointer(Output& out, const Spec& spec, va_list& args)
{
    const auto address = reinterpret_cast<uintptr_t>(va_arg(args, void*));
    FormatNumber(out, spec, false, address, 16, true, 2 * sizeof(void*));
}

void FormatChar(Output& out, const Spec& spec, va_list& args, bool wide)
{
    const int value = va_arg(args, int);
    const char c = wide ? NarrowUnit(static_cast<uint16_t>(value)) : static_cast<char>(value);
    PadText(out, spec, &c, 1);
}

// Formats one conversion whose type is known; false for an unknown type.
bool FormatSpec(Output& out, const Spec& spec, va_list& args)
{
    switch (spec.type) {
    case 'd':
    case 'i':
        FormatSigned(out, spec, args);
        return true;
    case 'u':
        FormatUnsigned(out, spec, args, 10, false);
        return true;
    case 'x':
        FormatUnsigned(out, spec, args, 16, false);
        return true;
    case 'X':
        FormatUnsigned(out, spec, args, 16, true);
        return true;
    case 'p':
        FormatPointer(out, spec, args);
        return true;
    case 'c':
        FormatChar(out, spec, args, spec.size == Size::Long);
        return true;
    case 'C':
        FormatChar(out, spec, args, spec.size != Size::Short);
        return true;
    case 's':
        if (spec.size == Size::Long) {
            FormatWideString(out, spec, va_arg(args, const uint16_t*));
        } else {
            FormatNarrowString(out, spec, va_arg(args, const char*));
        }
        return true;
    case 'S':
        if (spec.size == Size::Short) {
            FormatNarrowString(out, spec, va_arg(args, const char*));
        } else {
            FormatWideString(out, spec, va_arg(args, const uint16_t*));
        }
        return true;
    default:
        return false;
    }
}

int FormatInto(char* buffer, const char* format, va_list& args)
{
    Output out(buffer);
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out.Put(*p++);
            continue;
        }
        ++p;
        if (*p == '%') {
            out.Put(*p++);
            continue;
        }
        const Spec spec = ParseSpec(p);
        if (FormatSpec(out, spec, args)) {
            ++p;
        }
        // An unknown type prints nothing; its character is ordinary text.
    }
    return out.Finish();
}

} // namespace

extern "C" int WINAPI wvsprintfA(LPSTR lpOutput, LPCSTR lpFormat, va_list arglist)
{
    va_list args;
    va_copy(args, arglist);
    const int stored = FormatInto(lpOutput, lpFormat, args);
    va_end(args);
    return stored;
}

extern "C" int WINAPIV wsprintfA(LPSTR lpOutput, LPCSTR lpFormat, ...)
{
    va_list args;
    va_start(args, lpFormat);
    const int stored = FormatInto(lpOutput, lpFormat, args);
    va_end(args);
    return stored;
}
