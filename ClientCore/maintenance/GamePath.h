// The rules that decide where the delete game task may remove a game: the
// server names the game as a path, and the task applies it to every drive but
// the system drive.
#pragma once

#include <cstddef>

// A game path must be shorter than this: the size of the program's path work
// buffers.
constexpr std::size_t kGamePathBufferSize = 512;

// True when `path` names a directory at least two levels below a drive's root,
// in the form "D:\games\x" (one or more trailing backslashes allowed): once
// those are gone, a DrivePath (see service/Names.h) of two components or more.
//
// Refused: a name with fewer than two directory levels ("D:\x"); an empty name
// anywhere ("D:\games\\x", "D:\\x"); an empty path, one of 512 bytes or more,
// and one that is not absolute on a drive, which would otherwise resolve
// against the service's working directory; and a name that Windows does not
// store as written (".", "..", dots and spaces at its end, a forward slash, a
// device name), because Windows folds "D:\games\.." and "D:\games\ " up to a
// shallower directory. Backslashes are found character by character: in
// "D:\网络\淺" the second byte of 淺 is no separator.
bool IsValidSecondLevelPath(const char* path);

// True when `driveLetter` is the drive that holds the Windows directory. The
// letters are compared without regard to case, so that a Windows directory
// reported in lower case still protects its drive.
bool IsSystemDrive(char driveLetter, char systemDriveLetter);
