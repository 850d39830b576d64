// CreateFileA's five dispositions with the last error each leaves, directories,
// and the unbuffered write sequence of the file reception.
#include "workspace.h"

namespace {

class FileCreation : public qeltest::Workspace { };

struct DispositionCase {
    DWORD disposition;
    bool existing;
    bool opens;
    DWORD error;         // the last error after the call
    const char* content; // the file's content afterwards ("" = empty, nullptr = absent)
};

TEST_F(FileCreation, Dispositions)
{
    const DispositionCase cases[] = {
        {CREATE_NEW, false, true, ERROR_SUCCESS, ""},
        {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
        {CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
        {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
        {OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
        {OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
        {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
        {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
    };
    int n = 0;
    for (const DispositionCase& c : cases) {
        std::string name = "f" + std::to_string(++n);
        if (c.existing)
            MakeFile(name, "old");
        SetLastError(ERROR_INVALID_FUNCTION);
        HANDLE h = CreateFileA(Path(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = GetLastError();
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << c.disposition << (c.existing ? " existing" : " new");
        EXPECT_EQ(error, c.error) << c.disposition << (c.existing ? " existing" : " new");
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        if (c.content) {
            EXPECT_EQ(ReadAll(name), c.content) << c.disposition;
        } else {
            EXPECT_FALSE(Exists(name)) << c.disposition;
        }
    }
}

TEST_F(FileCreation, DirectoriesOpenOnlyWithBackupSemantics)
{
    MakeDirectory("dir");
    HANDLE h = CreateFileA(Path("dir").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    h = CreateFileA(Path("dir").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    FILETIME write{};
    EXPECT_TRUE(GetFileTime(h, nullptr, nullptr, &write));
    EXPECT_NE(write.dwHighDateTime, 0u);
    CloseHandle(h);
}

TEST_F(FileCreation, UnbufferedWholeChunksThenCutToSize)
{
    // The unbuffered reception: whole 512 KiB writes from a page-aligned
    // buffer, then a buffered reopen cuts the file to its size.
    const DWORD chunk = 0x80000;
    const DWORD size = chunk + 1;
    char* buffer = static_cast<char*>(VirtualAlloc(nullptr, chunk, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(buffer, nullptr);
    HANDLE h = CreateFileA(Path("unbuffered.bin").c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                           FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    for (DWORD i = 0; i < chunk; ++i)
        buffer[i] = char('a' + i % 26);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, buffer, chunk, &written, nullptr)) << GetLastError();
    EXPECT_EQ(written, chunk);
    buffer[0] = 'Z';
    ASSERT_TRUE(WriteFile(h, buffer, chunk, &written, nullptr)) << GetLastError();
    CloseHandle(h);

    h = CreateFileA(Path("unbuffered.bin").c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(h, nullptr), 2 * chunk);
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(h, LONG(size), &high, FILE_BEGIN), size);
    ASSERT_TRUE(SetEndOfFile(h));
    CloseHandle(h);
    std::string content = ReadAll("unbuffered.bin");
    ASSERT_EQ(content.size(), size_t(size));
    EXPECT_EQ(content[0], 'a');
    EXPECT_EQ(content[chunk - 1], char('a' + (chunk - 1) % 26));
    EXPECT_EQ(content[chunk], 'Z');
    VirtualFree(buffer, 0, MEM_RELEASE);
}

TEST_F(FileCreation, EmptyAndBadArguments)
{
    EXPECT_EQ(CreateFileA("", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(CreateFileA(Path("x").c_str(), GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateFileA(Path("x").c_str(), GENERIC_READ, 0, nullptr, 6, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

} // namespace
