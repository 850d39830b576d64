#include "ServicePassword.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

namespace {

bool EqualIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// Reads up to the first line end or the end of the input, one byte at a
// time so that nothing after the line is taken from a pipe. False when the
// input ended before anything came, or a read failed.
bool ReadLine(HANDLE input, std::string& line)
{
    // Room for the longest password and one byte more: no reallocation
    // leaves a copy of the bytes behind.
    line.reserve(kMaxPasswordBytes + 2);
    bool any = false;
    for (;;) {
        char byte = 0;
        DWORD got = 0;
        if (!ReadFile(input, &byte, 1, &got, nullptr) || got == 0)
            return any;
        any = true;
        if (byte == '\n')
            return true;
        if (line.size() <= kMaxPasswordBytes)
            line.push_back(byte);
    }
}

// The line read as the password, or nullopt with a message when nothing
// came, it is empty or too long. The line's own bytes are erased.
std::optional<std::string> CheckedPassword(bool read, std::string& line, std::string& error)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    std::optional<std::string> password;
    if (!read)
        error = "no password given";
    else if (line.empty())
        error = "the password is empty";
    else if (line.size() > kMaxPasswordBytes)
        error = "the password is longer than " + std::to_string(kMaxPasswordBytes) + " bytes";
    else
        password = line;
    ErasePassword(line);
    return password;
}

// The console's mode while the echo is off, given back should Ctrl+C end
// the process at the prompt: the console outlives it.
HANDLE g_promptInput = nullptr;
DWORD g_promptMode = 0;

BOOL WINAPI GiveBackEcho(DWORD)
{
    SetConsoleMode(g_promptInput, g_promptMode);
    return FALSE; // and let the process end as it would
}

} // namespace

bool AccountWithoutPassword(std::string_view account)
{
    constexpr std::array<std::string_view, 5> kBuiltIn = {"LocalSystem", ".\\LocalSystem", "NT AUTHORITY\\SYSTEM",
                                                          "NT AUTHORITY\\LocalService", "NT AUTHORITY\\NetworkService"};
    for (std::string_view name : kBuiltIn)
        if (EqualIgnoringCase(account, name))
            return true;
    return StartsWithIgnoringCase(account, "NT SERVICE\\") || (!account.empty() && account.back() == '$');
}

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot open the password file " + path + " (system error " + std::to_string(GetLastError()) + ")";
        return std::nullopt;
    }
    std::string line;
    const bool read = ReadLine(file, line);
    CloseHandle(file);
    std::optional<std::string> password = CheckedPassword(read, line, error);
    if (!password)
        error += " in " + path;
    return password;
}

std::optional<std::string> ReadPasswordInput(HANDLE input, const std::string& account, std::string& error)
{
    DWORD mode = 0;
    const bool console = GetConsoleMode(input, &mode) != 0;
    if (console) {
        std::fprintf(stderr, "password of %s (not shown): ", account.c_str());
        std::fflush(stderr);
        g_promptInput = input;
        g_promptMode = mode;
        SetConsoleCtrlHandler(GiveBackEcho, TRUE);
        SetConsoleMode(input, (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT);
    }
    std::string line;
    const bool read = ReadLine(input, line);
    if (console) {
        SetConsoleMode(input, mode);
        SetConsoleCtrlHandler(GiveBackEcho, FALSE);
        std::fputs("\n", stderr);
    }
    std::optional<std::string> password = CheckedPassword(read, line, error);
    if (!password)
        error += " on standard input";
    return password;
}

void ErasePassword(std::string& password)
{
    SecureZeroMemory(password.data(), password.size());
    password.clear();
}
