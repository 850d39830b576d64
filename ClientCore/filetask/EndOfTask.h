// The end-of-task command that closes the update and directory sync tasks.
#pragma once

#include "protocol/FileTaskRecords.h"

#include "channel/Transport.h"

namespace qek {

// Sets `command` to 1 and sends the whole record (its totals, counts and the
// last file's fields stay as the task left them). A failed send is logged
// with the system's last error; the task counts as complete either way.
void SendEndOfTask(RavelnetConnection connection, FileRequest& request);

} // namespace qek
