// The rules that decide where the delete game task may remove a game: the
// path rule the server applies too (protocol/DeleteGame.h), and the system
// drive that the client keeps.
#pragma once

#include "protocol/DeleteGame.h"

namespace qek {

// True when `driveLetter` is the drive that holds the Windows directory. The
// letters are compared without regard to case, so that a Windows directory
// reported in lower case still protects its drive.
bool IsSystemDrive(char driveLetter, char systemDriveLetter);

} // namespace qek
