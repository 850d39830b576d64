// The clients' names are GBK (code page 936), whose double-byte characters
// begin with a byte from 0x81 to 0xFE; the path rules that qelsrv shares with
// the clients read names as the clients do.
#include "service/Names.h"

bool IsLeadByte(unsigned char byte)
{
    return byte >= 0x81 && byte <= 0xFE;
}
