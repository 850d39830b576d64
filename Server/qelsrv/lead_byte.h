// The clients' path rules, compiled into qelsrv from the client's sources,
// read names in the code page given here (936 until told otherwise).
#pragma once

#include <cstdint>

void UseClientCodePageForPathRules(uint32_t codePage);
