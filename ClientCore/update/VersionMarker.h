// The game version marker: a small file in each game directory
// (kVersionMarkerName of protocol/ClientContract.h) that records the version
// the last complete update installed.
#pragma once

#include "base/Status.h"
#include "protocol/ClientContract.h"

#include <cstddef>

namespace qek {

// Fills `buffer` (all `size` bytes) with NULs, then reads the marker into it
// when the marker is shorter than the buffer: the result is always a
// NUL-terminated string, empty when the marker is missing, unreadable (also
// read-only: it is opened for reading and writing), of `size` bytes or more,
// or when the marker path does not fit its buffer. Logs nothing.
void ReadGameVersion(const char* gameDirectory, char* buffer, size_t size);

// Replaces the marker with exactly the characters of `version` (no NUL, no
// line end), never through a link at its folder or file (ReplaceLinksBelowRoot
// with the marker's own spelling) nor into a file that shares its data. Logs
// nothing; fails with the system error code when the marker cannot be
// re-created (a read-only one stays as it was) or its write fails or
// falls short (the marker is then deleted rather than left holding part of
// the version).
Status WriteGameVersion(const char* gameDirectory, const char* version);

} // namespace qek
