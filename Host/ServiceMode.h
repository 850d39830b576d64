// Running under the system's service manager. On Windows the host is its own
// service: it registers itself with the service control manager (--install),
// removes itself (--uninstall) and, started by the SCM (--service, the command
// line it registers), reports its state to it. On POSIX systemd runs the
// console host as it is (qel-client.service), so these only say so.
#pragma once

#include <optional>
#include <string>

// The name the host registers as a Windows service.
inline constexpr const char* kServiceName = "QELClient";

struct InstallOptions {
    // The account that runs the service ("NT AUTHORITY\LocalService",
    // ".\qel", ...); none: LocalSystem.
    std::optional<std::string> account;
    // Where the account's password is read from: this file, or standard
    // input when none is named (ServicePassword.h). Built-in service
    // accounts have none.
    std::optional<std::string> passwordFile;
};

// Each returns the process's exit status.
int InstallService(const InstallOptions& options);
int UninstallService();
int RunAsService();
