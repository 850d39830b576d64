// The game update task (type 20000): the version check, the check list, the
// downloads and the new version marker, on the task's connection.
#pragma once

#include "channel/Transport.h"

#include <cstddef>
#include <cstdint>

// The marker directory of a game, also home of the temporary check list:
// "tarngamever" below the game directory.
extern const char kMarkerDirectoryName[];

// Runs one update task to its end on `connection`; `writeModeFlag` 1 writes
// the files without the system cache, 0 through it. SyncService's handler
// calls it with the module's setting.
void RunUpdateTask(RavelnetConnection connection, int32_t writeModeFlag);

// 1 when the local scan may delete what the check list does not name: the
// game directory lies at least two directory levels below its drive's root
// (D:\Games\Name\, not D:\Name\ nor D:\). Trailing backslashes are ignored,
// however many; an empty name before the last one gives 0. So does a path with
// a component made only of dots and spaces, or a forward slash, because
// Windows folds "D:\Games\..\" and its like up to a shallower directory, and
// deleting there would remove other games.
int AllowDeleteFor(const char* gamePath);

// The temporary check list, "%s%s\%s.tmp" of the game directory, the marker
// directory and "QELFilesInfo.dat": false when it does not fit `size` bytes.
bool BuildCheckListPath(char* out, size_t size, const char* gamePath);

// The longest game path that leaves room for the temporary check list in a
// 256-byte buffer.
constexpr size_t kMaxGamePathLength = 255 - 32;
