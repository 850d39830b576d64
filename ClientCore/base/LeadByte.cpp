// The client's names are in its system's ANSI code page.
#include "protocol/Names.h"

#include <windows.h>

namespace qek::inline protocol {

bool IsLeadByte(unsigned char byte)
{
    return IsDBCSLeadByte(byte) != FALSE;
}

} // namespace qek::inline protocol
