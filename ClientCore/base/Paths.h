// Paths in the core's fixed buffers: joining without ever cutting a path
// short into another one, and the rules a name from the network must follow
// before any path is made of it.
#pragma once

#include "protocol/ClientContract.h"
#include "protocol/Names.h"

#include <cstddef>

namespace qek {

// Most paths live in 256-byte buffers: the client's path and its NUL.
constexpr size_t kPathBufferSize = kClientPathBytes + 1;

// Joins `first` and `second` ("%s%s", no separator added) into `out`; false,
// with `out` emptied, when the result and its NUL do not fit `outSize` bytes.
// Nothing is ever cut short into another path.
bool JoinPath(char* out, size_t outSize, const char* first, const char* second);

template <size_t N>
bool JoinPath(char (&out)[N], const char* first, const char* second)
{
    return JoinPath(out, N, first, second);
}

// True when `field` (a fixed text field of `size` bytes) holds a NUL.
bool HasTerminator(const char* field, size_t size);

// A check-list name comes from the network and decides where a file or a
// directory is written, so it must stay below the target root and be stored
// as written. It is safe when it:
// - has its NUL within `fieldSize` bytes and begins with a backslash;
// - has no empty component between backslashes (one trailing backslash, the
//   form of a directory entry, is allowed; "\" alone names the root itself);
// - has only components that Windows stores as written (IsSafeComponent).
// Backslashes are found character by character: the second byte of a
// double-byte character is never one.
bool IsSafeEntryName(const char* name, size_t fieldSize);

} // namespace qek
