// Paths in the core's fixed buffers: joining without ever cutting a path
// short into another one, and the rules a name from the network must follow
// before any path is made of it.
#pragma once

#include "protocol/ClientContract.h"

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

// A name from the network in a fixed field of `fieldSize` bytes (a check-list
// record's, a request's): it has its NUL within the field and is a safe entry
// name below a target root (NameRules::IsSafeEntryName, in the system's code
// page).
bool IsSafeEntryName(const char* name, size_t fieldSize);

} // namespace qek
