// Test support: a folder laid out like an installed client, made afresh for
// each test and removed after it:
//
//   <root>/bin/   the executable under test (a copy: the service finds its
//                 files from the executable's real path), the core and, when
//                 asked, a helper library of the chosen build
//   <root>/log/   where the service writes qeclt.log
//   <root>/registry.reg, <root>/debug-output.txt
//   <root>/work/here/  the working directory of the started process
#pragma once

#include "ChildProcess.h"

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

using qeltest::ChildProcess;

enum class PelkitBuild {
    None,    // no helper library beside the executable
    Full,    // all seven entry points
    NoUnzip, // without Pelkit_UnzipFile (a required one)
    NoMd5,   // without Pelkit_GetFileMd5 and Pelkit_GetMd5 (the optional ones)
};

class ServiceInstall {
public:
    // `nesting`: folders between the temporary folder and the install root
    // ("a/b"), to make the install's paths long.
    explicit ServiceInstall(PelkitBuild pelkit = PelkitBuild::Full, const std::string& nesting = {});
    ~ServiceInstall();
    ServiceInstall(const ServiceInstall&) = delete;
    ServiceInstall& operator=(const ServiceInstall&) = delete;

    const std::filesystem::path& Root() const { return root_; }
    std::filesystem::path Bin() const { return root_ / "bin"; }
    std::filesystem::path LogPath() const { return root_ / "log" / "qeclt.log"; }
    std::filesystem::path WorkingDirectory() const { return root_ / "work" / "here"; }

    void InstallPelkit(PelkitBuild pelkit);
    // Writes the registry the service reads (QEL_REGISTRY).
    void WriteRegistry(const std::string& regFileText);
    // Sets (or, with an empty optional, removes) a variable of the started process.
    void SetEnvironment(const std::string& name, std::optional<std::string> value);

    // Starts the test driver (see ServiceDriver.cpp) or the host from bin/.
    std::unique_ptr<ChildProcess> StartDriver();
    std::unique_ptr<ChildProcess> StartHost();

    // The log file's bytes; empty when it does not exist.
    std::string ReadLog() const;
    bool LogExists() const;
    // What the service sent to the debugger output.
    std::string ReadDebugOutput() const;

private:
    std::unique_ptr<ChildProcess> Start(const std::filesystem::path& builtExecutable);

    std::filesystem::path temporary_; // removed with everything below it
    std::filesystem::path root_;
    std::map<std::string, std::optional<std::string>> environment_;
};

// Sends `command` to a driver and returns its answer line.
std::string Ask(ChildProcess& driver, const std::string& command);
