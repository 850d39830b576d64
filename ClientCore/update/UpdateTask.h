// The game update task (type 20000): the version check, the check list, the
// downloads and the new version marker, on the task's connection.
#pragma once

#include "channel/Transport.h"
#include "filetask/LocalScan.h"
#include "filetask/WriteMode.h"
#include "protocol/ClientContract.h"

#include <cstddef>
#include <cstdint>

namespace qek {

// Runs one update task to its end on `connection`, writing the files in
// `mode`. SyncService's handler calls it with the module's setting.
void RunUpdateTask(RavelnetConnection connection, WriteMode mode);

// Whether `gamePath` names a game directory in the one form the update
// accepts: a DrivePath (a drive, a colon, names that Windows stores as
// written, so none of "." or ".." or empty) that ends with a backslash.
// Anything else could land elsewhere than it reads: "D:\Games\X" would put
// the marker folder beside X, "\x\" on no drive at all.
bool IsGameDirectoryPath(const char* gamePath);

// DeleteUnlisted when the local scan may delete what the check list does not
// name: the game directory, a DrivePath, lies at least two directory levels
// below its drive's root (D:\Games\Name\, not D:\Name\ nor D:\); KeepUnlisted
// for anything else. The depth is counted on the validated form, so it is the
// depth the file system sees: "D:\Games\..\", "D:\Games\\X\" and their like
// keep what is there, as deleting there could remove other games.
DeletePolicy DeletePolicyFor(const char* gamePath);

// The temporary check list below the game directory (kTemporaryCheckListName
// of protocol/ClientContract.h): false when it does not fit `size` bytes.
bool BuildCheckListPath(char* out, size_t size, const char* gamePath);

} // namespace qek
