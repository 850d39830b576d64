#include "dirsync_session.h"

#include <cctype>
#include <cstring>

namespace qelsrv {
namespace {

std::string_view WithoutOneTrailingBackslash(std::string_view path, uint32_t codePage)
{
    if (ClientNames(codePage).EndsWithCharacter(path, '\\'))
        path.remove_suffix(1);
    return path;
}

std::string ClientCandidate(std::string_view basePath, uint32_t codePage)
{
    std::string_view base = WithoutOneTrailingBackslash(basePath, codePage);
    if (base.size() >= 2 && base[1] == ':')
        return "c" + std::string(base.substr(1));
    if (!base.empty() && base.front() == '\\')
        return "c:" + std::string(base);
    return "c:\\" + std::string(base);
}

} // namespace

std::string ClientSyncRoot(std::string_view basePath, std::string_view subPath, uint32_t codePage)
{
    return ClientCandidate(basePath, codePage) + std::string(subPath);
}

bool MakeDirectorySyncSpec(const DirectorySyncOptions& options, FileTaskSpec& spec, std::string& error)
{
    spec = FileTaskSpec{};
    spec.taskType = kTaskDirectorySync;
    spec.declinedCode = kResultDirectoryNotFound;
    spec.declinedText = "directory on no drive";
    TaskParams& params = spec.params;
    params.taskId = options.taskId;
    std::string candidate = ClientCandidate(options.basePath, options.codePage);
    if (candidate.size() <= 3 && (candidate.size() == 2 || candidate[2] == '\\')) {
        error = "the base path names a drive root, which the clients never sync";
        return false;
    }
    if (options.basePath.find_first_of("*?") != std::string::npos) {
        error = "the base path must not hold the wildcards '*' or '?'";
        return false;
    }
    if (!ClientNames(options.codePage).IsUsableSubPath(options.subPath)) {
        error = "the sub-path must begin and end with a backslash ('\\' for the directory itself) "
                "and name no '.', '..' or empty folder";
        return false;
    }
    if (!FillField(params.gamePath, options.basePath)) {
        error = "the base path must be at most 255 bytes";
        return false;
    }
    if (!FillField(params.subPath, options.subPath)) {
        error = "the sub-path must be at most 255 bytes";
        return false;
    }
    if (ClientSyncRoot(options.basePath, options.subPath, options.codePage).size() > 255) {
        error = "the base path and the sub-path together leave the clients a path of more than 255 bytes";
        return false;
    }
    if (options.excludeDrive) {
        unsigned char letter = static_cast<unsigned char>(*options.excludeDrive);
        if (!std::isalpha(letter)) {
            error = "the drive to leave out must be a letter";
            return false;
        }
        params.excludeDrive = 1;
        params.excludeDriveLetter = static_cast<char>(std::tolower(letter));
    }
    params.skipLocalCompare = options.full ? 1 : 0;
    return true;
}

} // namespace qelsrv
