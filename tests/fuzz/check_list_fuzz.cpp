// Check-list analysis on received bytes: the first byte holds the flags
// (bit 0 allowDelete, bit 1 skipLocalCompare), the rest is the check file.
// The file is analysed for the game D:\games\x\ on a drive mapped to a
// temporary folder (QEL_DRIVES), rebuilt before every input with a few local
// files, a sibling game and a file at the drive's root.
//
// Checked: the result is one of the documented ones; a refused list changes
// nothing on disk; nothing outside the game's folder is ever touched; without
// allowDelete no local file goes; the FileList is in strict name order, holds
// only safe names, each the first record of that name in the file; the
// request's totals are those of the listed files.
#include "base/LogFile.h"
#include "base/Paths.h"
#include "filetask/CheckList.h"

#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

using namespace qek;

namespace fs = std::filesystem;

namespace {

constexpr char kRoot[] = "D:\\games\\x\\";
constexpr char kCheckFile[] = "D:\\games\\x\\tarngamever\\QELFilesInfo.dat.tmp";
// 2021-06-01 12:00:00 UTC: the seeds' records carry this time.
constexpr time_t kLocalTime = 1622548800;

// The local files of the game, then those that must always stay.
const char* const kGameFiles[] = {"games/x/a.txt", "games/x/bin/x.dll", "games/x/bin/old.dat",
                                  "games/x/Sub/deep/f.cfg"};
const char* const kKeptFiles[] = {"games/other/keep.txt", "keep.txt", "log/fuzz.log"};

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "check_list property failed: %s\n", what);
        std::abort();
    }
}

struct Drive {
    fs::path host;

    Drive()
    {
        // In memory when the machine offers it: the log flushes every line.
        const fs::path base = access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "qel-fuzz-checklist-XXXXXX").string();
        Require(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
        host = fs::path(pattern) / "d";
        static fs::path made;
        made = pattern;
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(made, ignored);
        });
        fs::create_directories(host / "log");
        setenv("QEL_DRIVES", ("D=" + host.string()).c_str(), 1);
        Put("log/fuzz.log", "");
        auto log = std::make_shared<LogFile>("QELCltCore.exe");
        log->SetPath("D:\\log\\fuzz.log");
        SetModuleLog(log);
    }

    void Put(const char* relative, std::string_view content) const
    {
        const fs::path path = host / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
        const timespec times[2] = {{kLocalTime, 0}, {kLocalTime, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    }

    // The drive as it is before each input: the game, its sibling, the
    // check file's folder, an empty log.
    void Reset(const uint8_t* list, size_t size) const
    {
        std::error_code ignored;
        fs::remove_all(host / "games", ignored);
        fs::resize_file(host / "log" / "fuzz.log", 0, ignored);
        for (const char* file : kGameFiles) {
            Put(file, file);
        }
        Put("games/other/keep.txt", "keep");
        Put("keep.txt", "keep");
        fs::create_directories(host / "games" / "x" / "tarngamever");
        std::ofstream(host / "games" / "x" / "tarngamever" / "QELFilesInfo.dat.tmp", std::ios::binary)
            .write(reinterpret_cast<const char*>(list), static_cast<std::streamsize>(size));
    }

    bool Exists(const char* relative) const { return fs::exists(host / relative); }

    // Every entry below the game's folder, but the marker folder.
    std::vector<std::string> GameEntries() const
    {
        std::vector<std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(host / "games" / "x")) {
            const std::string relative = fs::relative(entry.path(), host).string();
            if (relative.rfind("games/x/tarngamever", 0) != 0) {
                entries.push_back(relative);
            }
        }
        return entries;
    }
};

const Drive& TheDrive()
{
    static const Drive drive;
    return drive;
}

} // namespace

// The local scan pauses a millisecond per folder it lists; here time passes at
// once, so that an input takes what its work takes. The harness' own
// definition takes the place of the layer's for the statically linked core.
extern "C" void WINAPI Sleep(DWORD) { }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const Drive& drive = TheDrive();
    const bool allowDelete = (data[0] & 1) != 0;
    const bool skipLocalCompare = (data[0] & 2) != 0;
    const uint8_t* list = data + 1;
    const size_t listSize = size - 1;
    drive.Reset(list, listSize);
    const size_t entriesBefore = drive.GameEntries().size();

    // The first record of each name, in file order, up to the first bad tag.
    std::map<std::string, size_t> firstRecord;
    bool badTag = false;
    const size_t count = listSize / sizeof(QELDtFile);
    for (size_t index = 0; index < count; ++index) {
        QELDtFile record;
        std::memcpy(&record, list + index * sizeof(QELDtFile), sizeof(record));
        if (record.tag != kQelDtFileTag) {
            badTag = true;
            break;
        }
        firstRecord.emplace(std::string(RecordName(record)), index);
    }

    ReceivedCheckList checkList;
    const FileList& fileList = checkList.Entries();
    TaskProgress progress;
    const Status result = AnalyseCheckFile(kCheckFile, kRoot, checkList, progress,
                                           allowDelete ? DeletePolicy::DeleteUnlisted : DeletePolicy::KeepUnlisted,
                                           skipLocalCompare ? LocalCompare::Skip : LocalCompare::Compare);
    const bool ok = result.IsOk();
    Require(ok || result.Code() == 110024 || result.Code() == ERROR_INVALID_NAME ||
                result.Code() == ERROR_FILENAME_EXCED_RANGE,
            "unexpected result");
    Require(listSize >= sizeof(QELDtFile) || !ok || fileList.Empty(), "entries from a short file");

    if (ok) {
        const char* view = checkList.Bytes();
        std::string previous;
        bool first = true;
        uint32_t files = 0;
        uint64_t bytes = 0;
        for (const FileList::Entry entry : fileList) {
            const std::string name(entry.name);
            Require(first || NameLess(previous, name), "list not in strict name order");
            Require(IsSafeEntryName(name.c_str(), name.size() + 1), "unsafe name listed");
            const auto found = firstRecord.find(name);
            Require(found != firstRecord.end(), "listed name not in the file");
            Require(view != nullptr &&
                        reinterpret_cast<const char*>(entry.record) == view + found->second * sizeof(QELDtFile),
                    "entry is not the first record of its name");
            Require(fileList.Find(entry.name) == entry.record, "Find disagrees with the iteration");
            if (!IsDirectoryRecord(*entry.record)) {
                ++files;
                bytes += RecordSize(*entry.record);
            }
            previous = name;
            first = false;
        }
        if (skipLocalCompare && !fileList.Empty()) {
            Require(fileList.Size() == firstRecord.size(), "a name went missing without a local compare");
        }
        // A record without the tag ends the analysis before the totals.
        Require(progress.filesToUpdate == (badTag ? 0 : files), "file count");
        Require(progress.bytesToUpdate == (badTag ? 0 : bytes), "byte count");
    } else {
        Require(fileList.Empty() || result.Code() != 110024, "entries from an unmappable file");
    }
    checkList.ReleaseCheckList();

    for (const char* file : kKeptFiles) {
        Require(drive.Exists(file), "a file outside the game's folder went");
    }
    Require(!drive.Exists("games/x/tarngamever") || fs::is_directory(drive.host / "games/x/tarngamever"),
            "marker folder replaced");
    if (!allowDelete || !ok) {
        for (const char* file : kGameFiles) {
            Require(drive.Exists(file), "a local file went without allowDelete or with a refused list");
        }
    }
    if (!ok) {
        Require(drive.GameEntries().size() == entriesBefore, "a refused list changed the game's folder");
    }
    return 0;
}
