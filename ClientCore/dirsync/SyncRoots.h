// Where a directory sync task works: the directory the server names by a
// drive-independent base path, looked for on every drive from c to z. The
// last drive that holds it gives the primary root, which receives the
// downloads; the others give the copy roots, which receive local copies.
#pragma once

#include "base/Paths.h"
#include "protocol/FileTaskRecords.h"

#include <string>
#include <vector>

namespace qek {

struct SyncRoots {
    std::string primary;             // empty when the directory is on no drive
    std::vector<std::string> copies; // in ascending drive-letter order
};

// Removes one trailing backslash from `path` in place (of two, one stays).
void RemoveTrailingBackslash(char* path);

// Builds the candidate path: the base path with a drive prefix ("c:" before
// a path that begins with a backslash, "c:\" before one that does not, or
// the base path itself when it carries a drive). False, with `candidate`
// emptied, when it does not fit the 256 bytes: a candidate cut short would
// name another directory.
bool BuildCandidatePath(char (&candidate)[kPathBufferSize], const char* basePath);

// True when the candidate can name no directory to sync: anything but a
// DrivePath (protocol/Names.h) of one component or more without a trailing
// backslash. So a drive root, a drive-relative path ("c:games"), a path with
// an empty, "." or ".." component, and one with the wildcards '*' or '?' (under
// which FindFirstFileA would report whatever entry matches first) are refused.
bool CandidateNamesNoDirectory(const char* candidate);

// True when every root, the candidate followed by `subPath`, fits the
// 256-byte `gamePath` field. All candidates have the same length, whatever
// their drive letter, so one test covers every drive.
bool RootFits(const char* candidate, const char* subPath);

// Searches the drives c to z, in ascending order, for the candidate, skipping
// the drive named by `excludeDriveLetter` when `excludeDrive` is set (the
// letter is compared as a byte with the lower-case drive letter). For each
// drive on which the candidate is a directory, its root (the candidate and
// `subPath`) is written into `gamePath` and appended to the list; the last one
// becomes the primary root. A root reached through a link that neither an
// administrator nor the system made, or that is such a link, is logged and
// left out as if the drive did not hold the directory. The caller has checked
// RootFits.
SyncRoots FindSyncRoots(TaskParams& params, char (&candidate)[kPathBufferSize]);

// Drops each copy root that is the primary root's directory, or an earlier
// copy root's, under another name (a link, a drive mapped onto the same
// folder): every directory receives each file once, and never a copy of a
// file onto itself. Each dropped root is logged. Roots whose identity cannot
// be read (one that does not exist yet) are kept.
void DropAliasedCopyRoots(SyncRoots& roots);

} // namespace qek
