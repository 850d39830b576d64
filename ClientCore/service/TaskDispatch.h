// The task callback: every task the server pushes arrives here, on a thread
// of the transport's, and is handed to the service's handler for its type.
#pragma once

#include "channel/Transport.h"

#include <cstdint>

namespace qek {

// Runs the task to its end and returns 1. Types 20000 to 20003 go to the
// SyncService's handlers; any other type, and every task that arrives while
// the service is not running, goes back to the transport (RavelnetDropTask)
// without a log line or a reply.
uint32_t OnTask(RavelnetConnection connection, uint32_t context, const RavelnetTaskHeader* header, uint32_t reserved);

} // namespace qek
