// What the server must know of the client beyond its records: how long a
// path it takes, where in a game folder it keeps its own files, and the
// largest piece of a check list or file it receives at once. The client core
// is built on these numbers and names; qelsrv checks a task against them
// before it sends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qek::inline protocol {

// The longest path the client takes: 255 bytes, in a 256-byte buffer with
// its NUL.
constexpr std::size_t kClientPathBytes = 255;
// The longest path of a folder the client lists: it appends "*.*" for that.
constexpr std::size_t kClientFolderPathBytes = kClientPathBytes - 3;

// The client's own folder in every game folder: it holds the temporary check
// list of an update and the version marker.
inline constexpr char kMarkerFolderName[] = "tarngamever";
// The check list's file name, and the temporary check list an update
// receives it into, below the game folder ("%s%s\%s.tmp" of the game folder,
// the marker folder and the file name).
inline constexpr char kCheckListFileName[] = "QELFilesInfo.dat";
inline constexpr char kTemporaryCheckListName[] = "tarngamever\\QELFilesInfo.dat.tmp";
namespace contract_check {
constexpr std::string_view kTemporary = kTemporaryCheckListName;
constexpr std::size_t kFolderLength = sizeof(kMarkerFolderName) - 1;
constexpr std::size_t kFileLength = sizeof(kCheckListFileName) - 1;
static_assert(kTemporary.substr(0, kFolderLength) == kMarkerFolderName);
static_assert(kTemporary.substr(kFolderLength, 1) == "\\");
static_assert(kTemporary.substr(kFolderLength + 1, kFileLength) == kCheckListFileName);
static_assert(kTemporary.substr(kFolderLength + 1 + kFileLength) == ".tmp");
} // namespace contract_check
// The version marker below the game folder. Its folder is spelled as the
// client has always written it: the same folder as kMarkerFolderName where
// names do not differ by case.
inline constexpr char kVersionMarkerName[] = "tarnGameVer\\tarnGameVer.txt";

// The longest game folder an update takes: its temporary check list must
// still fit the client's path.
constexpr std::size_t kMaxGamePathBytes = kClientPathBytes - std::string_view(kTemporaryCheckListName).size();

// The client receives a check list and every file in pieces of at most this
// many bytes (its receive buffer).
constexpr uint32_t kChunkBytes = 0x80000;

} // namespace qek::inline protocol
