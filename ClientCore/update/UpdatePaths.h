// Paths of the update and directory sync tasks: joining into fixed buffers,
// the rules a check-list name must follow, and the removal of links planted on
// the way to a file that is about to be written.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

// Most paths live in 256-byte buffers: at most 255 characters and the NUL.
constexpr size_t kPathBufferSize = 256;

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
// directory is written, so it must stay below the target root. It is safe
// when it:
// - has its NUL within `fieldSize` bytes and begins with a backslash;
// - has no empty component between backslashes (one trailing backslash, the
//   form of a directory entry, is allowed; "\" alone names the root itself);
// - has no component made only of dots and spaces ("." and ".." climb, and
//   Windows folds trailing dots and spaces away, so "..." or ". ." may too);
// - holds no colon (drive letters, alternate data streams) and no forward
//   slash (a second separator that would hide a component from these rules).
// The test works on bytes: a double-byte character whose second byte is a
// backslash is split there, which can only refuse a name, never let one pass.
bool IsSafeEntryName(const char* name, size_t fieldSize);

// The same rule for one path component (no separators in it).
bool IsSafeComponent(std::string_view component);

// Removes the link (reparse point) at `path` itself, never what it points to:
// a directory link as a directory, a file link as a file. `path` may end in a
// backslash. Returns 1 when the path is not a link or the link is gone, else
// the system error code of the failed removal.
int RemoveLinkAt(const char* path);

// Makes sure that writing `root` + `name` goes through no link below `root`:
// every existing component of `name` that is a link is removed; a link in the
// place of a parent directory is replaced by a new, empty directory, so that
// the entry can be created where the list puts it. The root itself and its
// parents are the administrator's and are not looked at. Returns 1, or the
// system error code when a link could not be replaced.
int ReplaceLinksBelowRoot(const char* root, const char* name);
