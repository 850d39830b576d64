// The delete game task's request: the game path as the payload, and the rule
// for which paths the client may remove. The server names the game as a path,
// and the client applies it to every drive but its system drive.
#pragma once

#include "protocol/Names.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace qek::inline protocol {

// A game path must be shorter than this: the size of the client's path work
// buffers.
constexpr std::size_t kGamePathBufferSize = 512;

// The task's payload: the game path in the clients' code page, followed by a
// NUL. The payload length of the header counts the NUL.
inline std::string MakeDeleteGamePayload(std::string_view gamePath)
{
    std::string payload(gamePath);
    payload.push_back('\0');
    return payload;
}

// True when `path` names a directory at least two levels below a drive's root,
// in the form "D:\games\x" (one or more trailing backslashes allowed): once
// those are gone, a DrivePath of two components or more.
//
// Refused: a name with fewer than two directory levels ("D:\x"); an empty name
// anywhere ("D:\games\\x", "D:\\x"); an empty path, one of 512 bytes or more,
// and one that is not absolute on a drive, which would otherwise resolve
// against the service's working directory; and a name that Windows does not
// store as written (".", "..", dots and spaces at its end, a forward slash, a
// device name), because Windows folds "D:\games\.." and "D:\games\ " up to a
// shallower directory. Backslashes are found character by character: in
// "D:\网络\淺" the second byte of 淺 is no separator.
bool IsValidSecondLevelPath(const char* path, const NameRules& names);

} // namespace qek::inline protocol
