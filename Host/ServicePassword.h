// The password of the account the Windows service runs as. It never comes
// from the command line, which every process list and the shell's history
// show: it is read from a file (--password-file) or from standard input,
// typed without echo on a console or piped in as one line.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

// The longest password taken, in bytes.
inline constexpr size_t kMaxPasswordBytes = 1024;

// Accounts that have no password the installer could know: LocalSystem, the
// built-in service accounts (NT AUTHORITY\LocalService, NetworkService,
// SYSTEM), virtual accounts (NT SERVICE\...) and managed service accounts
// (a name that ends in $). Letter case does not matter.
bool AccountWithoutPassword(std::string_view account);

// A password is the first line of what is given, without its line end; no
// line, an empty one or one longer than kMaxPasswordBytes is refused with a
// message (nullopt).

// The password in the file at `path`.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error);

// The password from `input` (standard input): on a console, after a prompt
// for `account` on standard error and with the echo off; otherwise the
// first line of what is piped in.
std::optional<std::string> ReadPasswordInput(HANDLE input, const std::string& account, std::string& error);

// Overwrites the password's bytes before the memory is given back.
void ErasePassword(std::string& password);
