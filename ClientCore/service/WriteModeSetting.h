// The write-mode setting: the registry value "QELClt_NoBufWrite" under
// HKEY_LOCAL_MACHINE\SOFTWARE\Tarnwell1\LomvarkPro, read once at module load.
// Only the exact text "1" selects unbuffered writing.
#pragma once

#include "filetask/WriteMode.h"

#include <cstddef>

namespace qek {

// Size of the buffer the value is read into.
constexpr std::size_t kWriteModeValueBufferSize = 20;

// Unbuffered when the registry value is the text "1"; buffered otherwise, the
// key or the value missing included. Nothing is written to the registry.
WriteMode ReadWriteModeSetting();

// Unbuffered when the value's bytes, read as NUL-terminated text, are exactly
// "1". Never reads past the buffer, also when the value filled it without a
// NUL.
WriteMode WriteModeFromValue(const unsigned char (&value)[kWriteModeValueBufferSize]);

} // namespace qek
