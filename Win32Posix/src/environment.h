// The layer's configuration from the process environment, re-read whenever a
// variable's value changes (tests switch them between cases in one process).
// All functions are thread-safe.
#ifndef QEL_WIN32POSIX_ENVIRONMENT_H
#define QEL_WIN32POSIX_ENVIRONMENT_H

#include "drive_map.h"

#include <memory>
#include <optional>
#include <string>

namespace win32posix {

// The current drive table: QEL_DRIVES when set (an invalid value gives an empty
// table, reported once on stderr), else every single-letter folder under
// <exe dir>/../drives/, all fixed. Sorted by letter.
std::shared_ptr<const DriveTable> CurrentDrives();

// The mapping of one drive letter (either case), or nullopt when unmapped.
std::optional<DriveMapping> FindDrive(char letter);

// The system drive letter, upper case: QEL_SYSTEM_DRIVE's first character when
// it is a letter, else 'C'.
char SystemDriveLetter();

// The host path of the registry file: QEL_REGISTRY, else
// <exe dir>/../etc/registry.reg (normalised lexically, "x/../" removed).
std::string RegistryFilePath();

// Where OutputDebugStringA writes: nullopt = discarded (QEL_DEBUG_OUTPUT unset
// or empty), "-" = stderr, else a host file to append to.
std::optional<std::string> DebugOutputTarget();

// The running executable's host path (/proc/self/exe resolved), and its folder
// without a trailing '/'.
const std::string& ExecutableHostPath();
const std::string& ExecutableHostFolder();

} // namespace win32posix

#endif
