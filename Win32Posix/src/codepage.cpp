// The ANSI code page: 936 (GBK), whose double-byte characters begin with a
// lead byte from 0x81 to 0xFE; their second byte (0x40 to 0xFE) may equal a
// backslash or a letter, so text in it is walked character by character.
#include <windows.h>

namespace {
constexpr UINT kAnsiCodePage = 936;
}

extern "C" UINT WINAPI GetACP(void) { return kAnsiCodePage; }

extern "C" BOOL WINAPI IsDBCSLeadByte(BYTE TestChar) { return TestChar >= 0x81 && TestChar <= 0xFE; }
