// The client's names are in its system's ANSI code page: the name rules of
// Protocol/ with the lead bytes that the system gives (IsDBCSLeadByte), so
// that a PC at code page 936, 950 or 932 reads its names as Windows does.
#pragma once

#include "protocol/Names.h"

namespace qek {

const NameRules& SystemNames();

} // namespace qek
