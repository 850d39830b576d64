// The server's side of the directory sync task (20003): the conversation of
// the update (RunFileTaskSession), with the task's own parameters and answer.
// The client looks for the base path on each of its drives c to z, downloads
// into the last one found and copies every file to the others.
#pragma once

#include "update_session.h"

#include <optional>
#include <string>
#include <string_view>

namespace qelsrv {

struct DirectorySyncOptions {
    uint32_t taskId = 0;
    // The directory on the clients, without a drive ("\games\x", "games\x")
    // or with one ("q:\games\x", whose letter the client replaces by each of
    // its own). The client removes one final backslash.
    std::string basePath;
    // Below the directory found, with its backslashes: "\" for the directory
    // itself, "\maps\" for a folder in it.
    std::string subPath = "\\";
    // A drive the clients must not search (either case), or none.
    std::optional<char> excludeDrive;
    // Send every file, without the clients comparing their local files.
    bool full = false;
    // The clients' code page, in which basePath and subPath are given.
    uint32_t codePage = kDefaultClientCodePage;
};

// The task with its parameters. Fails with a message when a text does not
// fit its field, when the base path names a drive root (the client looks on
// no drive for it), when the sub-path does not begin and end with a backslash
// or climbs out of the directory, or when the drive to leave out is not a
// letter. The drive letter is sent in lower case, the form the client
// compares.
bool MakeDirectorySyncSpec(const DirectorySyncOptions& options, FileTaskSpec& spec, std::string& error);

// The root that a client forms for `basePath` and `subPath` on drive c:
// "c:\games\x\" for "\games\x" and "\". Every drive's root has its length.
std::string ClientSyncRoot(std::string_view basePath, std::string_view subPath,
                           uint32_t codePage = kDefaultClientCodePage);

} // namespace qelsrv
