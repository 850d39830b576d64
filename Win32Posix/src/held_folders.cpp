#include "held_folders.h"

#include "handles.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace win32posix {
namespace {

std::string Folded(const std::string& hostPath)
{
    std::string folded = hostPath;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::vector<std::weak_ptr<OpenFile>>> byPath; // newest last
    std::map<const OpenFile*, std::string> keys;
    std::atomic<size_t> count{0};
};

Registry& TheRegistry()
{
    static Registry* registry = new Registry; // never destroyed, as the handle table
    return *registry;
}

} // namespace

void HoldFolder(const std::shared_ptr<OpenFile>& folder)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    std::string key = Folded(folder->hostPath());
    registry.byPath[key].push_back(folder);
    registry.keys[folder.get()] = std::move(key);
    registry.count = registry.keys.size();
}

void ForgetFolder(const OpenFile* folder)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto key = registry.keys.find(folder);
    if (key == registry.keys.end())
        return;
    auto entries = registry.byPath.find(key->second);
    if (entries != registry.byPath.end()) {
        std::erase_if(entries->second, [](const std::weak_ptr<OpenFile>& entry) { return entry.expired(); });
        if (entries->second.empty())
            registry.byPath.erase(entries);
    }
    registry.keys.erase(key);
    registry.count = registry.keys.size();
}

bool AnyFolderHeld()
{
    return TheRegistry().count.load() != 0;
}

std::shared_ptr<const OpenFile> HeldFolderAt(const std::string& hostPath)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto entries = registry.byPath.find(Folded(hostPath));
    if (entries == registry.byPath.end())
        return nullptr;
    for (auto entry = entries->second.rbegin(); entry != entries->second.rend(); ++entry) {
        if (std::shared_ptr<OpenFile> folder = entry->lock())
            return folder;
    }
    return nullptr;
}

std::string PathThrough(const OpenFile& folder)
{
    return "/proc/self/fd/" + std::to_string(folder.fd());
}

} // namespace win32posix
