#include "ServiceInstall.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

fs::path PelkitPath(PelkitBuild pelkit)
{
    switch (pelkit) {
    case PelkitBuild::Full:
        return QEL_TEST_PELKIT;
    case PelkitBuild::NoUnzip:
        return QEL_TEST_PELKIT_NO_UNZIP;
    case PelkitBuild::NoMd5:
        return QEL_TEST_PELKIT_NO_MD5;
    case PelkitBuild::None:
        break;
    }
    return {};
}

} // namespace

ServiceInstall::ServiceInstall(PelkitBuild pelkit, const std::string& nesting)
{
    std::string pattern = (fs::temp_directory_path() / "qel-service-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    temporary_ = pattern;
    root_ = nesting.empty() ? temporary_ : temporary_ / nesting;
    fs::create_directories(Bin());
    fs::create_directories(WorkingDirectory());
    fs::create_symlink(QEL_TEST_CORE, Bin() / "libqekcore.so");
    InstallPelkit(pelkit);

    // Everything the layer and the transport read from the environment is
    // fixed here, whatever the test runner's own environment holds.
    environment_["QEL_REGISTRY"] = (root_ / "registry.reg").string();
    environment_["QEL_DEBUG_OUTPUT"] = (root_ / "debug-output.txt").string();
    environment_["QEL_DRIVES"] = std::nullopt;
    environment_["QEL_SYSTEM_DRIVE"] = std::nullopt;
    environment_["RAVELNET_PORT"] = "0";
    environment_["RAVELNET_ALLOW"] = std::nullopt;
    environment_["RAVELNET_HEADER_TIMEOUT_MS"] = std::nullopt;
    environment_["RAVELNET_SEND_TIMEOUT_MS"] = std::nullopt;
}

ServiceInstall::~ServiceInstall()
{
    std::error_code ignored;
    fs::remove_all(temporary_, ignored);
}

void ServiceInstall::InstallPelkit(PelkitBuild pelkit)
{
    const fs::path installed = Bin() / "libpelkit.so";
    fs::remove(installed);
    if (pelkit != PelkitBuild::None) {
        fs::copy_file(PelkitPath(pelkit), installed);
    }
}

void ServiceInstall::WriteRegistry(const std::string& regFileText)
{
    std::ofstream(root_ / "registry.reg", std::ios::binary) << regFileText;
}

void ServiceInstall::SetEnvironment(const std::string& name, std::optional<std::string> value)
{
    environment_[name] = std::move(value);
}

std::unique_ptr<ChildProcess> ServiceInstall::StartDriver()
{
    return Start(QEL_TEST_DRIVER);
}

std::unique_ptr<ChildProcess> ServiceInstall::StartHost()
{
    return Start(QEL_TEST_HOST);
}

std::unique_ptr<ChildProcess> ServiceInstall::Start(const fs::path& builtExecutable)
{
    const fs::path copy = Bin() / builtExecutable.filename();
    if (!fs::exists(copy)) {
        fs::copy_file(builtExecutable, copy);
    }
    qeltest::ProcessOptions options;
    options.arguments = {copy.string()};
    options.environment = environment_;
    options.workingDirectory = WorkingDirectory();
    options.inputPipe = true;
    options.captureErrors = true;
    return std::make_unique<ChildProcess>(options);
}

std::string ServiceInstall::ReadLog() const
{
    return ReadFile(LogPath());
}

bool ServiceInstall::LogExists() const
{
    return fs::exists(LogPath());
}

std::string ServiceInstall::ReadDebugOutput() const
{
    return ReadFile(root_ / "debug-output.txt");
}

std::string Ask(ChildProcess& driver, const std::string& command)
{
    driver.WriteLine(command);
    return driver.ReadLine().value_or("<no answer>");
}
