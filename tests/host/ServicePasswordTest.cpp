// The service account's password, read from a file or from standard input
// (here a pipe, as when it is piped to --install): its first line without
// the line end; nothing, an empty line or an overlong one refused; and the
// accounts that have no password to read.
#include "ServicePassword.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

// What a pipe delivers once `text` is written and the writing end closed.
class PipeInput {
public:
    explicit PipeInput(const std::string& text)
    {
        HANDLE writer = nullptr;
        EXPECT_TRUE(CreatePipe(&reader_, &writer, nullptr, 0));
        DWORD written = 0;
        EXPECT_TRUE(text.empty() || WriteFile(writer, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
        CloseHandle(writer);
    }
    ~PipeInput() { CloseHandle(reader_); }
    PipeInput(const PipeInput&) = delete;
    PipeInput& operator=(const PipeInput&) = delete;
    HANDLE Get() const { return reader_; }

    // What is left in the pipe after the password was read.
    std::string Rest() const
    {
        std::string rest;
        char buffer[64];
        DWORD got = 0;
        while (ReadFile(reader_, buffer, sizeof buffer, &got, nullptr) && got > 0)
            rest.append(buffer, got);
        return rest;
    }

private:
    HANDLE reader_ = nullptr;
};

struct Case {
    const char* name;
    std::string given;
    std::optional<std::string> password; // nullopt: refused
    const char* error = "";
};

const std::vector<Case>& Cases()
{
    static const std::vector<Case> cases = {
        {"line", "s3cret pass\n", "s3cret pass"},
        {"windows line end", "s3cret\r\n", "s3cret"},
        {"no line end", "s3cret", "s3cret"},
        {"first line only", "first\nsecond\n", "first"},
        {"double-byte and symbols", "\xc3\xdc\xc2\xeb #;\"' \t", "\xc3\xdc\xc2\xeb #;\"' \t"},
        {"nothing", "", std::nullopt, "no password given"},
        {"empty line", "\r\nlater\n", std::nullopt, "the password is empty"},
        {"longest", std::string(kMaxPasswordBytes, 'p') + "\n", std::string(kMaxPasswordBytes, 'p')},
        {"too long", std::string(kMaxPasswordBytes + 1, 'p') + "\n", std::nullopt, "longer than 1024 bytes"},
    };
    return cases;
}

TEST(ServicePassword, FromStandardInputTheFirstLine)
{
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        PipeInput input(c.given);
        std::string error;
        EXPECT_EQ(ReadPasswordInput(input.Get(), ".\\qel", error), c.password);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        if (!c.password) {
            EXPECT_NE(error.find("on standard input"), std::string::npos) << error;
        }
    }
    // Nothing after the line is taken from the pipe.
    PipeInput input("one\ntwo\n");
    std::string error;
    EXPECT_EQ(ReadPasswordInput(input.Get(), ".\\qel", error), "one");
    EXPECT_EQ(input.Rest(), "two\n");
}

TEST(ServicePassword, FromAFileTheFirstLine)
{
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("qel-password-" + std::to_string(GetCurrentProcessId()));
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        std::ofstream(file, std::ios::binary | std::ios::trunc) << c.given;
        std::string error;
        EXPECT_EQ(ReadPasswordFile(file.string(), error), c.password);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    std::filesystem::remove(file);
    std::string error;
    EXPECT_EQ(ReadPasswordFile(file.string(), error), std::nullopt);
    EXPECT_NE(error.find("cannot open the password file"), std::string::npos) << error;
}

TEST(ServicePassword, BuiltInAccountsHaveNone)
{
    for (const char* account :
         {"LocalSystem", "localsystem", ".\\LocalSystem", "NT AUTHORITY\\LocalService", "nt authority\\networkservice",
          "NT AUTHORITY\\SYSTEM", "NT SERVICE\\QELClient", "LAN\\qel-gmsa$"}) {
        EXPECT_TRUE(AccountWithoutPassword(account)) << account;
    }
    for (const char* account : {".\\qel", "LAN\\operator", "qel", "NT AUTHORITY\\LocalServiceX", "LocalSystem2", ""}) {
        EXPECT_FALSE(AccountWithoutPassword(account)) << account;
    }
}

} // namespace
