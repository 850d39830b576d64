// The path rules of Protocol/, which the clients apply too, read names in
// qelsrv in the code page given here (936 until told otherwise).
#pragma once

#include <cstdint>

void UseClientCodePageForPathRules(uint32_t codePage);
