// The check list of a game folder: one QELDtFile record per file and directory
// below the folder, in the order the client keeps its list (unsigned byte-wise
// by name), as the update and directory sync tasks send it.
#pragma once

#include "client_codepage.h"

#include "protocol/FileTaskRecords.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelsrv {

// The records and constants of the task protocol, as the clients read them.
using namespace qek::protocol;

// Every file entry gets this attribute word (FILE_ATTRIBUTE_ARCHIVE), every
// directory entry the directory bit alone; the client reads only the latter.
constexpr uint32_t kFileEntryAttributes = 0x20u;
constexpr uint32_t kDirectoryEntryAttributes = kQelDtFileDirectoryBit;

// A record's name holds at most this many bytes before its NUL.
constexpr size_t kMaxRecordNameBytes = sizeof(QELDtFile::name) - 1;

// One entry of the folder that is not in the list, or that keeps the list
// from being built, with the reason.
struct CheckListNote {
    std::filesystem::path path;
    std::string reason;
};

struct CheckList {
    std::filesystem::path root;
    uint32_t codePage = kDefaultClientCodePage;   // the code page of the records' names
    std::vector<QELDtFile> records;               // sorted by name, byte-wise
    std::vector<std::filesystem::path> hostPaths; // parallel to records
    std::vector<CheckListNote> skipped;           // left out on purpose (links, special files)
    std::vector<CheckListNote> errors;            // entries the client could not be given

    bool ok() const { return errors.empty(); }
    uint32_t ByteSize() const { return static_cast<uint32_t>(records.size() * sizeof(QELDtFile)); }
};

// Walks `root` without following links. Names are given in the client's code
// page `codePage` (converted from UTF-8 on POSIX, from the file system's
// UTF-16 on Windows). Symbolic links (reparse points on Windows) and special
// files are skipped and noted in `skipped`; a name the client cannot hold
// (a character the code page cannot represent, longer than 255 bytes as a
// record name, characters that Windows forbids, a trailing dot or space, two
// names equal but for letter case, a time before 1601) or a folder that
// cannot be read is noted in `errors`, and the list must then not be served.
CheckList BuildCheckList(const std::filesystem::path& root, uint32_t codePage = kDefaultClientCodePage);

// The record of `name`, by exact byte-wise lookup; nullptr when not listed.
const QELDtFile* FindRecord(const CheckList& list, std::string_view name);
// Index of the record of `name` in list.records, or nullopt.
std::optional<size_t> FindRecordIndex(const CheckList& list, std::string_view name);

// The records as the wire carries them: 280 bytes each, no header.
std::string SerializeCheckList(const CheckList& list);

// Writes SerializeCheckList to `file`; false (and errno-style message in
// `error`) when the file cannot be written in full.
bool WriteCheckListFile(const CheckList& list, const std::filesystem::path& file, std::string& error);

// A POSIX time (seconds and nanoseconds since 1970) as a FILETIME count of
// 100-ns units since 1601, rounded down; nullopt before 1601 or beyond 2^63.
std::optional<uint64_t> FileTimeFromUnixTime(int64_t seconds, int64_t nanoseconds);

RecordFileTime SplitFileTime(uint64_t fileTime);
uint64_t JoinFileTime(const RecordFileTime& time);

// The last-write time and size of a listed file as it is now on disk, read
// the same way the list reads them; nullopt when it cannot be read.
struct EntryState {
    uint64_t fileTime;
    uint64_t size;
};
std::optional<EntryState> ReadEntryState(const std::filesystem::path& hostPath);

} // namespace qelsrv
