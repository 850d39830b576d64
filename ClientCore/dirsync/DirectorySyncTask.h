// The directory (file) sync task (type 20003): find the server's directory on
// the drives c to z, bring the last copy found up to date from the server's
// check list, and copy every downloaded file to the other drives that hold
// the directory.
#pragma once

#include "base/Paths.h"
#include "channel/Transport.h"
#include "filetask/WriteMode.h"

#include <cstdint>
#include <mutex> // also std::chrono's durations (the full <chrono> does not build with a GBK execution set)

namespace qek {

// Runs one directory sync task to its end on `connection`, writing the files
// in `mode`. SyncService's handler calls it with the module's setting.
void RunDirectorySync(RavelnetConnection connection, WriteMode mode);

// The file that receives the task's check list and keeps it afterwards:
// "..\Data\qelsyncfiles_dst.dat" beside the host executable, whose "..\Data\"
// directory is created first. False when the executable's directory cannot be
// had whole or the path does not fit its 256 bytes: a shortened path would
// put the list in another place.
// `directory` receives the data file's directory.
bool PrepareSyncDataFile(char (&path)[kPathBufferSize], char (&directory)[kPathBufferSize]);

// How long a task waits for another to let go of the data file: longer than
// a server waits for a silent client (300 s), so that a task behind a
// stalled one still runs, and bounded, so that no task waits for ever.
inline constexpr std::chrono::minutes kSyncDataFileWait{10};

// Takes the data file for one task: every task receives its check list into
// the one file, so one task at a time holds it. Waits at most `limit` for
// another task to let go, with a log line when it has to wait and one when
// it gives up; the lock is not owned then.
std::unique_lock<std::timed_mutex> HoldSyncDataFile(const char* dataFile, std::chrono::milliseconds limit);

} // namespace qek
