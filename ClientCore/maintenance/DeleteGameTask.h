// The delete game task (type 20001): the game folder the server names goes
// from every drive but the system drive.
#pragma once

#include "channel/Transport.h"

#include <cstdint>

namespace qek {

// Runs one delete game task to its end on `connection`: receives the
// `payloadLength` bytes of the game path, removes the game from each drive
// that may lose it and answers once every drive has been processed.
void RunDeleteGame(RavelnetConnection connection, uint32_t payloadLength);

} // namespace qek
