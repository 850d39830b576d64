// The disk info task (type 20002): the client's fixed drives with their
// total and free bytes.
#pragma once

#include "channel/Transport.h"

namespace qek {

// Runs one disk info task to its end on `connection`: the reply that
// announces the records, then one DiskInfoRecord per fixed drive.
void RunDiskInfo(RavelnetConnection connection);

} // namespace qek
