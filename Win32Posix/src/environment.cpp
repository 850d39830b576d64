// Emulates the machine configuration the core sees (its drive letters and
// types, the system drive, the registry file, the debugger) from environment
// variables, re-read whenever a value changes. It does not watch the
// environment: each query compares the current value with the cached one.
#include "environment.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace win32posix {
namespace {

std::optional<std::string> ReadVariable(const char* name)
{
    const char* value = std::getenv(name);
    if (!value)
        return std::nullopt;
    return std::string(value);
}

// "/a/b" -> "/a"; "/a" -> "/"; "/" -> "/".
std::string ParentFolder(const std::string& folder)
{
    size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return folder.substr(0, slash);
}

std::string JoinHost(const std::string& folder, const char* name)
{
    return folder == "/" ? "/" + std::string(name) : folder + "/" + name;
}

std::vector<std::string> SubfolderNames(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        struct stat st;
        if (stat(JoinHost(folder, name.c_str()).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

struct DriveCache {
    std::mutex mutex;
    bool valid = false;
    std::optional<std::string> variable; // QEL_DRIVES as last read
    timespec defaultFolderTime{};        // mtime of <exe dir>/../drives when the variable is unset
    std::shared_ptr<const DriveTable> table;
};

DriveCache& Cache()
{
    static DriveCache cache;
    return cache;
}

std::string DefaultDrivesFolder()
{
    return JoinHost(ParentFolder(ExecutableHostFolder()), "drives");
}

timespec FolderTime(const std::string& folder)
{
    struct stat st;
    if (stat(folder.c_str(), &st) != 0)
        return timespec{-1, 0};
    return st.st_mtim;
}

std::shared_ptr<const DriveTable> BuildTable(const std::optional<std::string>& variable)
{
    if (!variable) {
        std::string folder = DefaultDrivesFolder();
        return std::make_shared<const DriveTable>(DriveTableFromFolderNames(folder, SubfolderNames(folder)));
    }
    std::string error;
    std::optional<DriveTable> parsed = ParseDriveMap(*variable, &error);
    if (!parsed) {
        // Reported once per distinct value: the cache is rebuilt only when the value changes.
        std::fprintf(stderr, "win32posix: QEL_DRIVES ignored, no drives mapped: %s\n", error.c_str());
        return std::make_shared<const DriveTable>();
    }
    return std::make_shared<const DriveTable>(std::move(*parsed));
}

} // namespace

std::shared_ptr<const DriveTable> CurrentDrives()
{
    std::optional<std::string> variable = ReadVariable("QEL_DRIVES");
    timespec folderTime{};
    if (!variable)
        folderTime = FolderTime(DefaultDrivesFolder());
    DriveCache& cache = Cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    bool same = cache.valid && cache.variable == variable &&
                (variable || (cache.defaultFolderTime.tv_sec == folderTime.tv_sec &&
                              cache.defaultFolderTime.tv_nsec == folderTime.tv_nsec));
    if (!same) {
        cache.table = BuildTable(variable);
        cache.variable = variable;
        cache.defaultFolderTime = folderTime;
        cache.valid = true;
    }
    return cache.table;
}

std::optional<DriveMapping> FindDrive(char letter)
{
    if (letter >= 'a' && letter <= 'z')
        letter = char(letter - 'a' + 'A');
    std::shared_ptr<const DriveTable> drives = CurrentDrives();
    for (const DriveMapping& drive : *drives)
        if (drive.letter == letter)
            return drive;
    return std::nullopt;
}

char SystemDriveLetter()
{
    std::optional<std::string> value = ReadVariable("QEL_SYSTEM_DRIVE");
    if (value && !value->empty()) {
        char c = (*value)[0];
        if (c >= 'a' && c <= 'z')
            return char(c - 'a' + 'A');
        if (c >= 'A' && c <= 'Z')
            return c;
    }
    return 'C';
}

std::string RegistryFilePath()
{
    std::optional<std::string> value = ReadVariable("QEL_REGISTRY");
    if (value && !value->empty())
        return *value;
    return JoinHost(JoinHost(ParentFolder(ExecutableHostFolder()), "etc"), "registry.reg");
}

std::optional<std::string> DebugOutputTarget()
{
    std::optional<std::string> value = ReadVariable("QEL_DEBUG_OUTPUT");
    if (!value || value->empty())
        return std::nullopt;
    return value;
}

const std::string& ExecutableHostPath()
{
    static const std::string path = [] {
        std::string buffer(4096, '\0');
        ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
        if (length <= 0)
            return std::string("/");
        buffer.resize(size_t(length));
        return buffer;
    }();
    return path;
}

const std::string& ExecutableHostFolder()
{
    static const std::string folder = ParentFolder(ExecutableHostPath());
    return folder;
}

} // namespace win32posix
