// The end-of-task command that closes the update and directory sync tasks.
#pragma once

#include "channel/Transport.h"
#include "filetask/TaskProgress.h"

namespace qek {

// Sends the task's record with `command` 1 (its totals, counts and the last
// file's fields as the task left them). A failed send is logged with the
// system's last error; the task counts as complete either way.
void SendEndOfTask(RavelnetConnection connection, const TaskProgress& progress);

} // namespace qek
