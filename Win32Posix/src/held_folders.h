// The folders the process holds open. A path below one of them is resolved
// through the folder's descriptor, so that it names the folder that was
// opened and checked even when another process has since renamed it and put
// a link in its place: Windows refuses to rename or remove a folder that is
// held without FILE_SHARE_DELETE, and the layer cannot refuse another
// process's rename, so it keeps the promise this way.
#ifndef QEL_WIN32POSIX_HELD_FOLDERS_H
#define QEL_WIN32POSIX_HELD_FOLDERS_H

#include <memory>
#include <string>

namespace win32posix {

class OpenFile;

// Registers an open folder (a directory descriptor) under the host path it
// was opened by.
void HoldFolder(const std::shared_ptr<OpenFile>& folder);

// Unregisters a folder; its OpenFile calls this as it goes.
void ForgetFolder(const OpenFile* folder);

// Whether any folder is held: only then does a path need looking for one.
bool AnyFolderHeld();

// The folder held under `hostPath` (compared without regard to ASCII case, as
// names are looked up), the most recently opened when several are; null when
// none. Its descriptor stays open as long as the pointer lives.
std::shared_ptr<const OpenFile> HeldFolderAt(const std::string& hostPath);

// The host path that reaches what the descriptor of `folder` names, whatever
// has been renamed since: "/proc/self/fd/N".
std::string PathThrough(const OpenFile& folder);

} // namespace win32posix

#endif
