// Paths of the service's own files, all found from the host executable's
// directory: "..\log\qeclt.log", "..\Data\qelsyncfiles_dst.dat", "Pelkit.dll".
#pragma once

#include <cstddef>

// Writes the host executable's directory, with its trailing backslash, into
// `buffer` (always NUL-terminated). Empty when the executable's path cannot be
// had whole or holds no backslash.
void GetExecutableDirectory(char* buffer, std::size_t size);

// Appends `suffix` to the text in `buffer` only when the result, with its
// terminator, fits in `size` bytes. Returns whether it was appended.
bool AppendIfFits(char* buffer, std::size_t size, const char* suffix);
