#include "DriveFolders.h"

#include "HostFiles.h"
#include "base/LogFile.h"

#include <cstdlib>
#include <stdexcept>

namespace fs = std::filesystem;

using namespace qek;

namespace qeltest {

std::string LayerPathOfHost(const fs::path& host)
{
    std::string text = host.string();
    for (char& c : text) {
        if (c == '/') {
            c = '\\';
        }
    }
    return text;
}

DriveFolders::DriveFolders(std::string_view prefix)
{
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
}

DriveFolders::~DriveFolders()
{
    if (log_) {
        SetModuleLog(nullptr);
        log_.reset();
    }
    for (const auto& [name, value] : previousValues_) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    // Read-only entries left by a test must not stop the clean-up.
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(root_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        if (!it->is_symlink()) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(root_, ignored);
}

void DriveFolders::SetVariable(const std::string& name, const std::string& value)
{
    if (previousValues_.count(name) == 0) {
        const char* previous = std::getenv(name.c_str());
        previousValues_[name] = previous ? std::optional<std::string>(previous) : std::nullopt;
    }
    setenv(name.c_str(), value.c_str(), 1);
}

void DriveFolders::OpenModuleLog(const std::string& layerPath, const fs::path& hostPath)
{
    fs::create_directories(hostPath.parent_path());
    logHostPath_ = hostPath;
    log_ = std::make_shared<qek::LogFile>("QELCltCore.exe");
    log_->SetPath(layerPath.c_str());
    SetModuleLog(log_);
}

std::string DriveFolders::LogBytes() const
{
    return ReadHostFile(logHostPath_).value_or("");
}

std::vector<std::string> DriveFolders::LogMessages() const
{
    const std::string prefix = "QELCltCore.exe: ";
    const std::string bytes = LogBytes();
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        const std::string line = bytes.substr(start, end - start);
        start = end + 2;
        if (line.empty()) {
            continue; // after a message that ends in "\r\n" itself
        }
        // "YYYY-MM-DD HH:MM:SS " then the module prefix.
        const size_t at = line.find(prefix);
        messages.push_back(at == std::string::npos ? line : line.substr(at + prefix.size()));
    }
    return messages;
}

} // namespace qeltest
