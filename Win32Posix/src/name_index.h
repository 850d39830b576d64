// Case-insensitive lookups that do not list the folder each time: a
// process-wide index, per host folder (by device and inode), of its names
// folded as the code page compares them, built by one listing and kept
// current by the kernel's change notifications (inotify) for that folder.
#ifndef QEL_WIN32POSIX_NAME_INDEX_H
#define QEL_WIN32POSIX_NAME_INDEX_H

#include <windows.h>

#include <string>
#include <string_view>

namespace win32posix {

// The name as the layer compares it: ASCII letters lowered, character by
// character in `codePage` (a double-byte character is never folded).
// Two names are equal ignoring case exactly when their folds are equal.
std::string FoldName(UINT codePage, std::string_view name);

// Finds `name` (in the process's code page) in the host folder without
// regard to case: the first name in directory order whose code-page form
// equals it ignoring case (a host name the code page cannot represent never
// matches). Returns true and sets `found` to the host name on disk; else
// false with errno ENOENT (no such name) or the error of examining the folder.
// Thread-safe. The answer is that of a listing made now: the index is
// trusted only while every change to the folder since its listing has been
// seen (its notifications, the folder's modification time); folders on
// network and user-space file systems, whose changes elsewhere send no
// notification, are listed every time.
bool FindIgnoringCase(const std::string& hostFolder, std::string_view name, std::string& found);

} // namespace win32posix

#endif
