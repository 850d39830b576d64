// Paths of the service's own files, all found from the host executable's
// directory: "..\log\qeclt.log", "..\Data\qelsyncfiles_dst.dat", "Pelkit.dll".
#pragma once

#include <cstddef>

namespace qek {

// Writes the host executable's directory, with its trailing backslash, into
// `buffer` (always NUL-terminated) and returns true. When the executable's
// path cannot be had whole (it does not fit) or holds no backslash, the buffer
// is left empty and the result is false, with the system's last error from
// the failed query: a path built on an empty directory would be relative to
// the working directory, and a bare library name would be searched for along
// the system's search path, so callers build no path then.
bool GetExecutableDirectory(char* buffer, std::size_t size);

// Appends `suffix` to the text in `buffer` only when the result, with its
// terminator, fits in `size` bytes. Returns whether it was appended.
bool AppendIfFits(char* buffer, std::size_t size, const char* suffix);

} // namespace qek
