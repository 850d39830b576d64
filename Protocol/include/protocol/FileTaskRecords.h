// The wire records of the update and directory sync conversations: the task
// parameters the server sends first, the check-list record, and the request
// with which the client asks for each file and reports its progress.
//
// Plain little-endian structs with fixed widths. The client and the sending
// side (Server/) both read this header, so it includes no platform header:
// the check-list time is a two-word field laid out like the platform's
// FILETIME.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qek::inline protocol {

// ---- Task parameters (668 bytes, server to client, right after the header) --

struct TaskParams {
    uint32_t taskId;         // only written to the log
    uint32_t unused4;        // not read by the client
    char gameVersion[128];   // the game's version on the server (update task)
    char gamePath[256];      // the game's directory, ending in a backslash
    char subPath[256];       // directory sync task only
    uint32_t excludeDrive;   // directory sync task only
    char excludeDriveLetter; // directory sync task only
    uint8_t padding653[3];
    uint32_t skipLocalCompare; // nonzero: fetch every listed file, compare nothing
    uint32_t unused660;        // not read by the client
    uint32_t checkListSize;    // bytes of check list that follow the reply
};
static_assert(sizeof(TaskParams) == 668);
static_assert(offsetof(TaskParams, taskId) == 0);
static_assert(offsetof(TaskParams, unused4) == 4);
static_assert(offsetof(TaskParams, gameVersion) == 8);
static_assert(offsetof(TaskParams, gamePath) == 136);
static_assert(offsetof(TaskParams, subPath) == 392);
static_assert(offsetof(TaskParams, excludeDrive) == 648);
static_assert(offsetof(TaskParams, excludeDriveLetter) == 652);
static_assert(offsetof(TaskParams, padding653) == 653);
static_assert(offsetof(TaskParams, skipLocalCompare) == 656);
static_assert(offsetof(TaskParams, unused660) == 660);
static_assert(offsetof(TaskParams, checkListSize) == 664);

// ---- Check-list record (280 bytes each, no header, no trailer) -------------

// Every valid record carries this tag; the first record without it ends the list.
constexpr uint32_t kQelDtFileTag = 0x19800705u;
// The one attribute bit that is read: set for a directory entry.
constexpr uint32_t kQelDtFileDirectoryBit = 0x10u;

// A file time as two 32-bit words, low word first: the same bytes as FILETIME
// (100-nanosecond units since 1601-01-01 UTC).
struct RecordFileTime {
    uint32_t lowDateTime;
    uint32_t highDateTime;
};
static_assert(sizeof(RecordFileTime) == 8);
static_assert(offsetof(RecordFileTime, lowDateTime) == 0);
static_assert(offsetof(RecordFileTime, highDateTime) == 4);

struct QELDtFile {
    RecordFileTime lastWriteTime; // given to the downloaded file, compared with the local one
    uint32_t tag;                 // kQelDtFileTag
    uint32_t attributes;          // only kQelDtFileDirectoryBit is read
    uint32_t sizeHigh;
    uint32_t sizeLow;
    char name[256]; // path below the target root: "\bin\game.exe", "\bin\" for a directory
};
static_assert(sizeof(QELDtFile) == 280);
static_assert(offsetof(QELDtFile, lastWriteTime) == 0);
static_assert(offsetof(QELDtFile, tag) == 8);
static_assert(offsetof(QELDtFile, attributes) == 12);
static_assert(offsetof(QELDtFile, sizeHigh) == 16);
static_assert(offsetof(QELDtFile, sizeLow) == 20);
static_assert(offsetof(QELDtFile, name) == 24);

inline bool IsDirectoryRecord(const QELDtFile& record)
{
    return (record.attributes & kQelDtFileDirectoryBit) != 0;
}

inline uint64_t RecordSize(const QELDtFile& record)
{
    return (uint64_t{record.sizeHigh} << 32) | record.sizeLow;
}

// The order in which the server lists the entries and the client asks for
// the files (whatever the order of the list it got): names compared as
// unsigned bytes, a proper prefix first ("\bin" before "\bin\").
inline bool NameLess(std::string_view a, std::string_view b)
{
    // char_traits<char> compares as unsigned char, whatever the signedness of char.
    return a.compare(b) < 0;
}

// The name of a record: its bytes up to the NUL, at most the whole field.
inline std::string_view RecordName(const QELDtFile& record)
{
    std::string_view field(record.name, sizeof(record.name));
    return field.substr(0, field.find('\0'));
}

// ---- File request (292 bytes, client to server) -----------------------------

// `command` values.
constexpr uint32_t kFileRequestSendFile = 0;  // send the file named in fileName
constexpr uint32_t kFileRequestEndOfTask = 1; // the task has ended

// One record serves a whole task: it is cleared by the check-list analysis,
// carries the task's totals and progress with every request, and finally goes
// out as the end-of-task command.
struct FileRequest {
    uint32_t command;
    uint32_t filesToUpdate;     // file entries (not directories) to download
    uint32_t filesDone;         // files completed before this request
    uint32_t bytesToUpdateHigh; // total bytes to download, high half
    uint32_t bytesToUpdateLow;  // ... low half
    uint32_t bytesDoneHigh;     // bytes of the completed files, high half
    uint32_t bytesDoneLow;      // ... low half
    char fileName[256];         // the entry's name as the check list gives it
    uint8_t fileSizeHighByte;   // bits 32..39 of the file's size
    uint8_t padding285[3];      // zero
    uint32_t fileSizeLow;       // low 32 bits of the file's size
};
static_assert(sizeof(FileRequest) == 292);
static_assert(offsetof(FileRequest, command) == 0);
static_assert(offsetof(FileRequest, filesToUpdate) == 4);
static_assert(offsetof(FileRequest, filesDone) == 8);
static_assert(offsetof(FileRequest, bytesToUpdateHigh) == 12);
static_assert(offsetof(FileRequest, bytesToUpdateLow) == 16);
static_assert(offsetof(FileRequest, bytesDoneHigh) == 20);
static_assert(offsetof(FileRequest, bytesDoneLow) == 24);
static_assert(offsetof(FileRequest, fileName) == 28);
static_assert(offsetof(FileRequest, fileSizeHighByte) == 284);
static_assert(offsetof(FileRequest, padding285) == 285);
static_assert(offsetof(FileRequest, fileSizeLow) == 288);

// 64-bit counts travel as two 32-bit halves, high half first.
inline uint64_t JoinHalves(uint32_t high, uint32_t low)
{
    return (uint64_t{high} << 32) | low;
}
inline uint32_t HighHalf(uint64_t value)
{
    return static_cast<uint32_t>(value >> 32);
}
inline uint32_t LowHalf(uint64_t value)
{
    return static_cast<uint32_t>(value);
}

inline uint64_t BytesToUpdate(const FileRequest& request)
{
    return JoinHalves(request.bytesToUpdateHigh, request.bytesToUpdateLow);
}
inline uint64_t BytesDone(const FileRequest& request)
{
    return JoinHalves(request.bytesDoneHigh, request.bytesDoneLow);
}

} // namespace qek::inline protocol
