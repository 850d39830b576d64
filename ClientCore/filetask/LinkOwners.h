// Who may lead a task elsewhere: a link (symbolic link, junction, mount
// point) on the way to a folder the tasks write to or delete, or at that
// folder itself, is followed only when an administrator or the system made
// it. Administrators move game folders to other disks with junctions; a user
// who can write to a parent folder could otherwise put a link there that
// sends the next write or delete into a system folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qek {

// A component of a task's path that the task must not go through.
struct UntrustedLink {
    std::string path; // the component, without a trailing backslash
    // 0: a link that neither an administrator nor the system owns. Otherwise
    // the system error code that kept the component, or its owner, from
    // being read.
    int error = 0;
};

// Walks the existing components of `path` (a drive path: a letter, a colon
// and an absolute path, as ParseDrivePath of protocol/Names.h takes it; any
// number of trailing backslashes) from the drive's root down to the last one,
// and returns the first that is a link whose owner is neither
// BUILTIN\Administrators, SYSTEM nor TrustedInstaller, or that cannot be
// checked; nullopt when every link on the way is trusted (or there is none).
// The walk stops at the first missing component: what the task creates there
// is no link. A path of any other form cannot be checked: it is returned
// whole with ERROR_BAD_PATHNAME.
std::optional<UntrustedLink> FindUntrustedLink(std::string_view path);

} // namespace qek
