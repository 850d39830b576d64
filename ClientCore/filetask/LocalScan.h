// The local scan: compares the target directory on disk with the FileList,
// strikes out the files that are current, and deletes what the list does not
// name when the task allows it.
#pragma once

#include "filetask/FileList.h"
#include "protocol/FileTaskRecords.h"

namespace qek {

// Whether the local scan removes what the check list does not name.
enum class DeletePolicy { KeepUnlisted, DeleteUnlisted };

// Walks `directory` (ending in a backslash, beginning with `root`) and
// everything below it, contents before the directory itself. Each entry's key
// is its path from the root's last character on ("\bin\game.exe", "\bin\").
// A listed file whose time and size match is erased from `fileList`; they
// are the listing's own, so a file is opened (IsLocalFileCurrent) only when
// the listing gives no time. An unlisted entry is deleted under
// DeleteUnlisted (a directory whole, with DeleteTree). Pauses 1 ms per directory
// listed.
//
// A link (reparse point) is never descended into and never counts as current:
// when listed it stays in the list, so that the download replaces it; when
// unlisted and to be deleted, the link itself is removed.
//
// Returns true when everything was walked; false when a directory could not be
// listed, a path did not contain the root, or a path did not fit its buffer
// (a directory path of more than 252 characters, an entry path of more than
// 511): the scan then ends there, leaving the rest neither compared nor
// cleaned.
bool ScanLocalDirectory(const char* directory, const char* root, FileList& fileList, DeletePolicy deletePolicy);

// Whether the local file at `path`, opened, has exactly the record's
// last-write time (both halves) and length (both halves); false also when it
// cannot be opened for reading with read sharing.
bool IsLocalFileCurrent(const QELDtFile& record, const char* path);

} // namespace qek
