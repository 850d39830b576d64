// How the file tasks write what they receive, as the registry value
// "QELClt_NoBufWrite" chooses it for the whole process.
#pragma once

namespace qek {

enum class WriteMode {
    Buffered,   // through the system cache
    Unbuffered, // without it: whole 512 KiB blocks from an aligned buffer, then the cut to size
};

// The flag the log shows for a mode: 1 unbuffered, 0 buffered.
constexpr int WriteModeFlag(WriteMode mode)
{
    return mode == WriteMode::Unbuffered ? 1 : 0;
}

} // namespace qek
