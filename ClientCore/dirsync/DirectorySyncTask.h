// The directory (file) sync task (type 20003): find the server's directory on
// the drives c to z, bring the last copy found up to date from the server's
// check list, and copy every downloaded file to the other drives that hold
// the directory.
#pragma once

#include "channel/Transport.h"
#include "update/UpdatePaths.h"

#include <cstdint>

// Runs one directory sync task to its end on `connection`; `writeModeFlag` 1
// writes the files without the system cache, 0 through it. SyncService's
// handler calls it with the module's setting.
void RunDirectorySync(RavelnetConnection connection, int32_t writeModeFlag);

// The file that receives the task's check list and keeps it afterwards:
// "..\Data\qelsyncfiles_dst.dat" beside the host executable, whose "..\Data\"
// directory is created first. False when the executable's directory cannot be
// had whole or the path does not fit its 256 bytes: a shortened path would
// put the list in another place.
bool PrepareSyncDataFile(char (&path)[kPathBufferSize]);
