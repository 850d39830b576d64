#include "checklist.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

static_assert(std::endian::native == std::endian::little, "check-list records are written in host byte order");

namespace fs = std::filesystem;

namespace qelsrv {
namespace {

// FILETIME of 1970-01-01 00:00:00 UTC.
constexpr int64_t kFileTimeOfUnixEpoch = 116444736000000000LL;
constexpr int64_t kFileTimeUnitsPerSecond = 10000000LL;

// What the walk learns about one directory entry without following links.
enum class EntryKind { File, Directory, Link, Special };

struct EntryInfo {
    EntryKind kind;
    uint64_t fileTime = 0;
    uint64_t size = 0;
    bool timeValid = true;
};

#ifdef _WIN32

uint64_t FromFileTime(const FILETIME& time)
{
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

std::optional<EntryInfo> ReadEntryInfo(const fs::path& path, std::error_code& error)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        error.assign(static_cast<int>(GetLastError()), std::system_category());
        return std::nullopt;
    }
    EntryInfo info{};
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        info.kind = EntryKind::Link;
    else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        info.kind = EntryKind::Directory;
    else
        info.kind = EntryKind::File;
    info.fileTime = FromFileTime(data.ftLastWriteTime);
    info.size = info.kind == EntryKind::File ? (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow : 0;
    return info;
}

#else

std::optional<EntryInfo> ReadEntryInfo(const fs::path& path, std::error_code& error)
{
    struct stat status { };
    if (lstat(path.c_str(), &status) != 0) {
        error.assign(errno, std::generic_category());
        return std::nullopt;
    }
    EntryInfo info{};
    if (S_ISLNK(status.st_mode))
        info.kind = EntryKind::Link;
    else if (S_ISDIR(status.st_mode))
        info.kind = EntryKind::Directory;
    else if (S_ISREG(status.st_mode))
        info.kind = EntryKind::File;
    else
        info.kind = EntryKind::Special;
    auto fileTime = FileTimeFromUnixTime(status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
    info.timeValid = fileTime.has_value();
    info.fileTime = fileTime.value_or(0);
    info.size = info.kind == EntryKind::File ? static_cast<uint64_t>(status.st_size) : 0;
    return info;
}

#endif

// Why Windows could not hold `component` (in `codePage`) as a name, by the
// clients' own rule, or nullptr when it can.
const char* WindowsNameProblem(std::string_view component, uint32_t codePage)
{
    switch (ClientNames(codePage).ComponentProblem(component)) {
    case NameProblem::None:
        return nullptr;
    case NameProblem::Empty:
        return "not a usable name";
    case NameProblem::TrailingDotOrSpace:
        return "a name ending in a dot or space, which Windows drops";
    case NameProblem::ControlCharacter:
        return "a control character in the name";
    case NameProblem::ReservedCharacter:
        return "a character Windows does not allow in names";
    case NameProblem::BrokenCharacter:
        return "a broken double-byte character, which Windows would store as another";
    case NameProblem::DeviceName:
        return "a device name Windows reserves (CON, NUL, COM1, ...)";
    }
    return "not a usable name";
}

QELDtFile MakeRecord(const std::string& name, const EntryInfo& info)
{
    QELDtFile record{};
    record.lastWriteTime = SplitFileTime(info.fileTime);
    record.tag = kQelDtFileTag;
    record.attributes = info.kind == EntryKind::Directory ? kDirectoryEntryAttributes : kFileEntryAttributes;
    record.sizeHigh = HighHalf(info.size);
    record.sizeLow = LowHalf(info.size);
    std::memcpy(record.name, name.data(), name.size());
    return record;
}

struct Walker {
    CheckList& list;

    // `prefix` is the record name of `directory` ("\" for the root, "\bin\" below).
    void Walk(const fs::path& directory, const std::string& prefix)
    {
        std::error_code error;
        fs::directory_iterator it(directory, error);
        if (error) {
            list.errors.push_back({directory, "cannot list the folder: " + error.message()});
            return;
        }
        for (; it != fs::directory_iterator(); it.increment(error)) {
            AddEntry(it->path(), prefix);
        }
        if (error)
            list.errors.push_back({directory, "cannot list the folder: " + error.message()});
    }

    void AddEntry(const fs::path& path, const std::string& prefix)
    {
        std::error_code error;
        std::optional<EntryInfo> info = ReadEntryInfo(path, error);
        if (!info) {
            list.errors.push_back({path, "cannot read: " + error.message()});
            return;
        }
        if (info->kind == EntryKind::Link) {
            list.skipped.push_back({path, "symbolic link (links are not followed)"});
            return;
        }
        if (info->kind == EntryKind::Special) {
            list.skipped.push_back({path, "not a regular file or folder"});
            return;
        }
        std::optional<std::string> component = FileNameToClient(path.filename(), list.codePage);
        if (!component) {
            list.errors.push_back({path, "the name has characters that the clients' code page " +
                                             std::to_string(list.codePage) + " cannot represent"});
            return;
        }
        if (const char* problem = WindowsNameProblem(*component, list.codePage)) {
            list.errors.push_back({path, problem});
            return;
        }
        bool isDirectory = info->kind == EntryKind::Directory;
        std::string name = prefix + *component + (isDirectory ? "\\" : "");
        if (name.size() > kMaxRecordNameBytes) {
            list.errors.push_back({path, "the name is longer than 255 bytes below the folder"});
        } else if (!info->timeValid) {
            list.errors.push_back({path, "the last-write time lies before 1601"});
        } else {
            list.records.push_back(MakeRecord(name, *info));
            list.hostPaths.push_back(path);
        }
        // A folder whose own name is too long is still walked, so that every
        // problem below it is reported in one run.
        if (isDirectory)
            Walk(path, name);
    }
};

void SortByName(CheckList& list)
{
    std::vector<size_t> order(list.records.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return NameLess(RecordName(list.records[a]), RecordName(list.records[b])); });
    std::vector<QELDtFile> records;
    std::vector<fs::path> hostPaths;
    records.reserve(order.size());
    hostPaths.reserve(order.size());
    for (size_t i : order) {
        records.push_back(list.records[i]);
        hostPaths.push_back(std::move(list.hostPaths[i]));
    }
    list.records = std::move(records);
    list.hostPaths = std::move(hostPaths);
}

// Windows names ignore letter case: two names that differ only in case would
// be one file on the client, written twice and never current.
void NoteCaseCollisions(CheckList& list)
{
    std::vector<std::pair<std::string, size_t>> lowered;
    lowered.reserve(list.records.size());
    for (size_t i = 0; i < list.records.size(); ++i)
        lowered.emplace_back(ClientNames(list.codePage).AsciiLower(RecordName(list.records[i])), i);
    std::sort(lowered.begin(), lowered.end());
    for (size_t i = 1; i < lowered.size(); ++i) {
        if (lowered[i].first == lowered[i - 1].first) {
            list.errors.push_back(
                {list.hostPaths[lowered[i].second],
                 "differs only in letter case from " + list.hostPaths[lowered[i - 1].second].string()});
        }
    }
}

} // namespace

std::optional<uint64_t> FileTimeFromUnixTime(int64_t seconds, int64_t nanoseconds)
{
    // Normalise so that 0 <= nanoseconds < 1e9; then the sum rounds down.
    seconds += nanoseconds / 1000000000LL;
    nanoseconds %= 1000000000LL;
    if (nanoseconds < 0) {
        nanoseconds += 1000000000LL;
        seconds -= 1;
    }
    constexpr int64_t kMinSeconds = -kFileTimeOfUnixEpoch / kFileTimeUnitsPerSecond;
    constexpr int64_t kMaxSeconds = (INT64_MAX - kFileTimeOfUnixEpoch) / kFileTimeUnitsPerSecond - 1;
    if (seconds < kMinSeconds || seconds > kMaxSeconds)
        return std::nullopt;
    int64_t units = kFileTimeOfUnixEpoch + seconds * kFileTimeUnitsPerSecond + nanoseconds / 100;
    return static_cast<uint64_t>(units);
}

RecordFileTime SplitFileTime(uint64_t fileTime)
{
    return RecordFileTime{LowHalf(fileTime), HighHalf(fileTime)};
}

uint64_t JoinFileTime(const RecordFileTime& time)
{
    return JoinHalves(time.highDateTime, time.lowDateTime);
}

CheckList BuildCheckList(const fs::path& root, uint32_t codePage)
{
    CheckList list;
    list.root = root;
    list.codePage = codePage;
    std::error_code error;
    if (!fs::is_directory(root, error)) {
        list.errors.push_back({root, "not a folder"});
        return list;
    }
    Walker{list}.Walk(root, "\\");
    SortByName(list);
    NoteCaseCollisions(list);
    if (list.records.size() > UINT32_MAX / sizeof(QELDtFile))
        list.errors.push_back({root, "too many entries for one check list"});
    return list;
}

std::optional<size_t> FindRecordIndex(const CheckList& list, std::string_view name)
{
    auto it = std::lower_bound(
        list.records.begin(), list.records.end(), name,
        [](const QELDtFile& record, std::string_view key) { return NameLess(RecordName(record), key); });
    if (it == list.records.end() || RecordName(*it) != name)
        return std::nullopt;
    return static_cast<size_t>(it - list.records.begin());
}

const QELDtFile* FindRecord(const CheckList& list, std::string_view name)
{
    std::optional<size_t> index = FindRecordIndex(list, name);
    return index ? &list.records[*index] : nullptr;
}

std::string SerializeCheckList(const CheckList& list)
{
    std::string bytes(list.records.size() * sizeof(QELDtFile), '\0');
    if (!list.records.empty())
        std::memcpy(bytes.data(), list.records.data(), bytes.size());
    return bytes;
}

bool WriteCheckListFile(const CheckList& list, const fs::path& file, std::string& error)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot create " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    std::string bytes = SerializeCheckList(list);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        error = "cannot write " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::optional<EntryState> ReadEntryState(const fs::path& hostPath)
{
    std::error_code error;
    std::optional<EntryInfo> info = ReadEntryInfo(hostPath, error);
    if (!info || info->kind != EntryKind::File || !info->timeValid)
        return std::nullopt;
    return EntryState{info->fileTime, info->size};
}

} // namespace qelsrv
