// A name that is not on disk under its exact host name costs a look at the
// whole folder for one that differs only in case. Listing the folder for each
// such name makes filling a folder quadratic; the index lists it once.
//
// Why the index can be trusted: the folder's inotify watch is added before
// the listing, and the kernel queues a folder's change notification in the
// call that changes it, so when a lookup reads every queued notification
// first, every change completed before the lookup (by this process or any
// other on this machine) is either in the listing or applied from its
// notification. The folder's modification time guards what notifications
// cannot show: a time that moved with no notification read since is a change
// the index did not see, and the folder is listed again (a time can hide a
// second change within one tick, which is why it is the guard and not the
// mechanism). File systems whose folders change elsewhere without a
// notification here (network and user-space ones) are never indexed.
#include "name_index.h"

#include "codepage.h"
#include "resolve.h"
#include "unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace win32posix {
namespace {

// Bounds of what the process keeps: folders beyond them are forgotten, least
// recently used first, and listed again when next needed.
constexpr size_t kMaxFolders = 256;
constexpr size_t kMaxNames = size_t(1) << 18;

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR;

struct FolderKey {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FolderKey&) const = default;
};

struct FolderKeyHash {
    size_t operator()(const FolderKey& key) const
    {
        return std::hash<uint64_t>()(key.inode * 0x9E3779B97F4A7C15ull ^ key.device);
    }
};

FolderKey KeyOf(const struct stat& st)
{
    return FolderKey{uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

struct FolderIndex {
    UINT codePage = 0;
    int watch = -1;
    timespec modified{};               // the folder's modification time when last seen
    bool changedSinceModified = false; // a notification was applied since `modified` was taken
    size_t names = 0;
    uint64_t lastUse = 0;
    // Fold -> host names with that fold, in listing order (more than one only
    // when names that differ only in case were there at the listing).
    std::unordered_map<std::string, std::vector<std::string>> byFold;
};

bool SameTime(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Folders whose changes from elsewhere send no notification here.
bool ChangesUnseen(int folderFd)
{
    struct statfs fs;
    if (fstatfs(folderFd, &fs) != 0)
        return true;
    switch (static_cast<uint64_t>(fs.f_type)) {
    case NFS_SUPER_MAGIC:
    case SMB_SUPER_MAGIC:
    case 0xFF534D42u: // CIFS
    case 0xFE534D42u: // SMB2
    case 0x65735546u: // FUSE
    case V9FS_MAGIC:
    case 0x00C36400u: // Ceph
    case AFS_SUPER_MAGIC:
    case CODA_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

// The fold of a host name in `codePage`, or false when the code page cannot
// represent it (such a name never matches).
bool FoldOfHostName(UINT codePage, std::string_view hostName, std::string& fold)
{
    bool lossless = false;
    std::string inCodePage = Utf8ToCodePage(codePage, hostName, '?', &lossless);
    if (!lossless)
        return false;
    fold = FoldName(codePage, inCodePage);
    return true;
}

// The names of one folder, by fold, from a listing: the first of each fold
// is the one a scan in directory order finds.
void AddName(FolderIndex& index, const std::string& hostName)
{
    std::string fold;
    if (!FoldOfHostName(index.codePage, hostName, fold))
        return;
    index.byFold[fold].push_back(hostName);
    ++index.names;
}

enum class Answer { Found, Absent, Failed, NotIndexed };

class NameIndexes {
public:
    Answer Find(const std::string& folder, const struct stat& folderStat, UINT codePage, const std::string& fold,
                std::string& found)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!Watching())
            return Answer::NotIndexed;
        ReadNotifications();
        FolderIndex* index = Current(KeyOf(folderStat), folderStat, codePage);
        if (!index) {
            Answer built = Build(folder, codePage, index);
            if (built != Answer::Found)
                return built;
        }
        index->lastUse = ++uses_;
        auto it = index->byFold.find(fold);
        if (it == index->byFold.end())
            return Answer::Absent;
        // A name found is checked on disk: it costs one call and only when
        // the case differs.
        struct stat st;
        if (lstat(JoinHost(folder, it->second.front()).c_str(), &st) != 0) {
            Forget(KeyFor(*index));
            return Answer::NotIndexed;
        }
        found = it->second.front();
        return Answer::Found;
    }

private:
    bool Watching()
    {
        if (!triedNotify_) {
            triedNotify_ = true;
            notify_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        }
        return notify_.IsValid();
    }

    // The folder's index when it still tells the folder's content, else null
    // (and a stale one is dropped).
    FolderIndex* Current(const FolderKey& key, const struct stat& folderStat, UINT codePage)
    {
        auto it = folders_.find(key);
        if (it == folders_.end())
            return nullptr;
        FolderIndex& index = it->second;
        bool seen = SameTime(index.modified, folderStat.st_mtim) || index.changedSinceModified;
        if (index.codePage != codePage || !seen) {
            Forget(key);
            return nullptr;
        }
        index.modified = folderStat.st_mtim;
        index.changedSinceModified = false;
        return &index;
    }

    // Lists the folder into a new index, watched from before the listing.
    Answer Build(const std::string& folder, UINT codePage, FolderIndex*& result)
    {
        UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd.IsValid())
            return Answer::Failed;
        struct stat st;
        if (fstat(fd.Get(), &st) != 0 || ChangesUnseen(fd.Get()))
            return Answer::NotIndexed;
        FolderKey key = KeyOf(st);
        Forget(key); // before the watch: the kernel gives one watch per folder
        std::string self = "/proc/self/fd/" + std::to_string(fd.Get()); // the open folder itself, whatever its path now
        int watch = inotify_add_watch(notify_.Get(), self.c_str(), kWatchMask);
        if (watch < 0)
            return Answer::NotIndexed; // e.g. the watch limit: list as without an index
        if (auto other = byWatch_.find(watch); other != byWatch_.end())
            Drop(other->second);
        FolderIndex index;
        index.codePage = codePage;
        index.watch = watch;
        index.modified = st.st_mtim;
        DIR* dir = fdopendir(fd.Get());
        if (!dir) {
            int error = errno;
            inotify_rm_watch(notify_.Get(), watch);
            errno = error;
            return Answer::Failed;
        }
        fd.Release(); // the listing holds it now: closedir closes it
        int listError = 0;
        while (true) {
            errno = 0; // readdir tells its end from its failure only by errno
            dirent* entry = readdir(dir);
            if (!entry) {
                listError = errno;
                break;
            }
            std::string_view name = entry->d_name;
            if (name != "." && name != "..")
                AddName(index, std::string(name));
        }
        closedir(dir);
        if (listError != 0 || index.names > kMaxNames) {
            inotify_rm_watch(notify_.Get(), watch);
            if (listError == 0)
                return Answer::NotIndexed;
            errno = listError;
            return Answer::Failed;
        }
        MakeRoom(index.names);
        names_ += index.names;
        byWatch_[watch] = key;
        result = &folders_.emplace(key, std::move(index)).first->second;
        ReadNotifications(); // changes made while listing
        result = Lookup(key);
        return result ? Answer::Found : Answer::NotIndexed;
    }

    FolderIndex* Lookup(const FolderKey& key)
    {
        auto it = folders_.find(key);
        return it == folders_.end() ? nullptr : &it->second;
    }

    FolderKey KeyFor(const FolderIndex& index) const { return byWatch_.at(index.watch); }

    void MakeRoom(size_t incoming)
    {
        while (!folders_.empty() && (folders_.size() >= kMaxFolders || names_ + incoming > kMaxNames)) {
            auto oldest = folders_.begin();
            for (auto it = folders_.begin(); it != folders_.end(); ++it)
                if (it->second.lastUse < oldest->second.lastUse)
                    oldest = it;
            Forget(oldest->first);
        }
    }

    // Drops the folder's index and its watch.
    void Forget(const FolderKey& key)
    {
        auto it = folders_.find(key);
        if (it == folders_.end())
            return;
        inotify_rm_watch(notify_.Get(), it->second.watch); // fails harmlessly when the kernel dropped it already
        Drop(key);
    }

    // Drops the folder's index, leaving its watch (the kernel's, or reused).
    void Drop(const FolderKey& key)
    {
        auto it = folders_.find(key);
        if (it == folders_.end())
            return;
        byWatch_.erase(it->second.watch);
        names_ -= it->second.names;
        folders_.erase(it);
    }

    void ForgetAll()
    {
        while (!folders_.empty())
            Forget(folders_.begin()->first);
    }

    void ReadNotifications()
    {
        alignas(inotify_event) char buffer[16384];
        while (true) {
            ssize_t got = read(notify_.Get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return; // EAGAIN: none queued
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                Apply(*event);
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
    }

    void Apply(const inotify_event& event)
    {
        if (event.mask & IN_Q_OVERFLOW) {
            ForgetAll(); // changes were lost: every folder is listed again
            return;
        }
        auto watched = byWatch_.find(event.wd);
        if (watched == byWatch_.end())
            return;
        FolderKey key = watched->second;
        FolderIndex* index = Lookup(key);
        if (!index)
            return;
        if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_UNMOUNT)) {
            Forget(key);
            return;
        }
        if (event.len == 0)
            return;
        index->changedSinceModified = true;
        std::string hostName(event.name);
        std::string fold;
        if (!FoldOfHostName(index->codePage, hostName, fold))
            return;
        if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
            std::vector<std::string>& same = index->byFold[fold];
            for (const std::string& known : same)
                if (known == hostName)
                    return;
            if (!same.empty()) {
                // Where a second name of one fold falls in directory order
                // is not known: list again.
                Forget(key);
                return;
            }
            same.push_back(hostName);
            ++index->names;
            ++names_;
        } else if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
            auto it = index->byFold.find(fold);
            if (it == index->byFold.end())
                return;
            std::vector<std::string>& same = it->second;
            for (auto name = same.begin(); name != same.end(); ++name) {
                if (*name != hostName)
                    continue;
                same.erase(name);
                --index->names;
                --names_;
                break;
            }
            if (same.empty())
                index->byFold.erase(it);
        }
    }

    std::mutex mutex_;
    bool triedNotify_ = false;
    UniqueFd notify_;
    std::unordered_map<FolderKey, FolderIndex, FolderKeyHash> folders_;
    std::unordered_map<int, FolderKey> byWatch_;
    size_t names_ = 0;
    uint64_t uses_ = 0;
};

NameIndexes& ProcessNameIndexes()
{
    static NameIndexes* indexes = new NameIndexes; // never destroyed: lookups may run during exit
    return *indexes;
}

// The scan without an index: the folder in directory order.
bool ScanFolder(const std::string& hostFolder, std::string_view name, std::string& found)
{
    DIR* dir = opendir(hostFolder.c_str());
    if (!dir)
        return false;
    UINT codePage = ActiveCodePage();
    std::string fold = FoldName(codePage, name);
    bool matched = false;
    while (dirent* entry = readdir(dir)) {
        std::string_view candidate = entry->d_name;
        if (candidate == "." || candidate == "..")
            continue;
        std::string candidateFold;
        if (FoldOfHostName(codePage, candidate, candidateFold) && candidateFold == fold) {
            found = std::string(candidate);
            matched = true;
            break;
        }
    }
    closedir(dir);
    if (!matched)
        errno = ENOENT;
    return matched;
}

} // namespace

std::string FoldName(UINT codePage, std::string_view name)
{
    std::string fold(name);
    for (size_t i = 0; i < fold.size();) {
        size_t length = CharLengthAt(codePage, name, i);
        if (length == 1 && fold[i] >= 'A' && fold[i] <= 'Z')
            fold[i] = char(fold[i] - 'A' + 'a');
        i += length;
    }
    return fold;
}

bool FindIgnoringCase(const std::string& hostFolder, std::string_view name, std::string& found)
{
    struct stat folderStat;
    if (stat(hostFolder.c_str(), &folderStat) != 0)
        return false;
    if (!S_ISDIR(folderStat.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    UINT codePage = ActiveCodePage();
    switch (ProcessNameIndexes().Find(hostFolder, folderStat, codePage, FoldName(codePage, name), found)) {
    case Answer::Found:
        return true;
    case Answer::Absent:
        errno = ENOENT;
        return false;
    case Answer::Failed:
        return false;
    case Answer::NotIndexed:
        break;
    }
    return ScanFolder(hostFolder, name, found);
}

} // namespace win32posix
