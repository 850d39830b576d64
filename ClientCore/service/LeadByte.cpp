// The client's names are in its system's ANSI code page.
#include "service/Names.h"

#include <windows.h>

bool IsLeadByte(unsigned char byte)
{
    return IsDBCSLeadByte(byte) != FALSE;
}
