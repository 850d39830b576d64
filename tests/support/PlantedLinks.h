// Links with an owner, for the tests of the owner rule: the tests run as root,
// make a symbolic link and give it to an owner with lchown. To the Win32
// layer uid 0 is BUILTIN\Administrators; an ordinary uid is a user, whose
// link above or at a task's folder is not followed.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace plantedlinks {

constexpr uid_t kAdministrator = 0;
constexpr uid_t kOrdinaryUser = 65534; // nobody

// A link at `link` to the folder `target`, owned by `owner`. False when it
// cannot be made or given away (only root may give a link to another owner).
inline bool PlantFolderLink(const std::filesystem::path& target, const std::filesystem::path& link, uid_t owner)
{
    std::error_code error;
    std::filesystem::create_directory_symlink(target, link, error);
    return !error && lchown(link.c_str(), owner, owner) == 0;
}

// Every entry below `folder` (links not followed) with a file's content or
// the kind of anything else: two records differ when anything below was
// written, created or deleted.
inline std::map<std::string, std::string> TreeOf(const std::filesystem::path& folder)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = fs::relative(entry.path(), folder).string();
        if (entry.is_symlink()) {
            tree[name] = "link to " + fs::read_symlink(entry.path()).string();
        } else if (entry.is_regular_file()) {
            std::ifstream in(entry.path(), std::ios::binary);
            tree[name] = std::string(std::istreambuf_iterator<char>(in), {});
        } else {
            tree[name] = "folder";
        }
    }
    return tree;
}

} // namespace plantedlinks
