#include "base/SystemNames.h"

#include <windows.h>

namespace qek {

const NameRules& SystemNames()
{
    // The code page is the process's for its whole life: asked once.
    static const NameRules names(LeadBytes::Asking([](unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }));
    return names;
}

} // namespace qek
