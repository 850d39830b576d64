// The check-list builder against real folders: names and their order, times to
// the 100 ns, sizes beyond 4 GiB, directories, links and names a Windows
// client cannot hold.
#include "TempFolder.h"

#include "checklist.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace qelsrv;

namespace {

void WriteFile(const fs::path& path, size_t size)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << std::string(size, 'x');
}

// Sets the last-write time to a POSIX time with nanoseconds.
void SetMtime(const fs::path& path, time_t seconds, long nanoseconds)
{
    timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

std::vector<std::string> Names(const CheckList& list)
{
    std::vector<std::string> names;
    for (const QELDtFile& record : list.records)
        names.emplace_back(RecordName(record));
    return names;
}

bool HasNoteFor(const std::vector<CheckListNote>& notes, const fs::path& path)
{
    for (const CheckListNote& note : notes)
        if (note.path == path)
            return true;
    return false;
}

} // namespace

TEST(CheckListBuilder, NamesDirectoriesAndByteWiseOrder)
{
    TempFolder game{"qelsrv-checklist"};
    WriteFile(game.path() / "z.txt", 1);
    WriteFile(game.path() / fs::path(u8"\u00e9.txt"), 2); // é, A8 A6 in GBK: a byte above 0x7F sorts after 'z'
    WriteFile(game.path() / "a.txt", 3);
    WriteFile(game.path() / "a" / "b" / "deep.bin", 4);
    WriteFile(game.path() / "ab", 5);
    fs::create_directories(game.path() / "empty");

    CheckList list = BuildCheckList(game.path());
    ASSERT_TRUE(list.ok());
    // '.' (0x2E) < '\' (0x5C) < 'b' (0x62): "\a.txt" before "\a\", "\a\" before "\ab".
    std::vector<std::string> expected = {
        "\\a.txt", "\\a\\", "\\a\\b\\", "\\a\\b\\deep.bin", "\\ab", "\\empty\\", "\\z.txt", "\\\xa8\xa6.txt",
    };
    EXPECT_EQ(Names(list), expected);
    ASSERT_EQ(list.hostPaths.size(), list.records.size());
    EXPECT_EQ(list.hostPaths[3], game.path() / "a" / "b" / "deep.bin");

    for (const QELDtFile& record : list.records) {
        std::string_view name = RecordName(record);
        EXPECT_EQ(record.tag, 0x19800705u) << name;
        if (name.back() == '\\') {
            EXPECT_EQ(record.attributes, 0x10u) << name;
            EXPECT_EQ(RecordSize(record), 0u) << name;
        } else {
            EXPECT_EQ(record.attributes, 0x20u) << name;
        }
    }
    EXPECT_EQ(RecordSize(*FindRecord(list, "\\a\\b\\deep.bin")), 4u);
    EXPECT_EQ(RecordSize(*FindRecord(list, "\\\xa8\xa6.txt")), 2u);
    EXPECT_EQ(FindRecord(list, "\\A.txt"), nullptr) << "lookups are exact";
    EXPECT_EQ(FindRecord(list, "\\a"), nullptr);
    EXPECT_EQ(FindRecordIndex(list, "\\ab"), std::optional<size_t>(4));
}

TEST(CheckListBuilder, LastWriteTimeToTheHundredNanoseconds)
{
    TempFolder game{"qelsrv-checklist"};
    WriteFile(game.path() / "f", 1);
    fs::create_directories(game.path() / "d");
    // 2021-01-02 03:04:05.123456789 UTC; FILETIME keeps 1234567 of the nanoseconds.
    SetMtime(game.path() / "f", 1609556645, 123456789);
    SetMtime(game.path() / "d", 1609556645, 99);

    CheckList list = BuildCheckList(game.path());
    ASSERT_TRUE(list.ok());
    const QELDtFile* file = FindRecord(list, "\\f");
    const QELDtFile* directory = FindRecord(list, "\\d\\");
    ASSERT_NE(file, nullptr);
    ASSERT_NE(directory, nullptr);
    // 116444736000000000 + 1609556645 * 10^7 + 1234567, low word first.
    const uint64_t expected = 132540302451234567ull;
    EXPECT_EQ(JoinFileTime(file->lastWriteTime), expected);
    EXPECT_EQ(file->lastWriteTime.lowDateTime, static_cast<uint32_t>(expected));
    EXPECT_EQ(file->lastWriteTime.highDateTime, static_cast<uint32_t>(expected >> 32));
    EXPECT_EQ(JoinFileTime(directory->lastWriteTime), expected - 1234567);
}

TEST(CheckListBuilder, FileTimeConversionEdges)
{
    struct Case {
        int64_t seconds;
        int64_t nanoseconds;
        std::optional<uint64_t> expected;
    };
    const Case cases[] = {
        {0, 0, 116444736000000000ull},
        {0, 99, 116444736000000000ull},
        {0, 100, 116444736000000001ull},
        {-1, 999999900, 116444735999999999ull},  // just before 1970
        {-11644473600, 0, 0ull},                 // 1601-01-01
        {-11644473601, 999999999, std::nullopt}, // before 1601
        {1, -1, 116444736009999999ull},          // normalised nanoseconds
        {INT64_MAX / 2, 0, std::nullopt},        // beyond FILETIME's range
    };
    for (const Case& c : cases)
        EXPECT_EQ(FileTimeFromUnixTime(c.seconds, c.nanoseconds), c.expected)
            << c.seconds << "s " << c.nanoseconds << "ns";
}

TEST(CheckListBuilder, SizesBeyondFourGiBFromASparseFile)
{
    TempFolder game{"qelsrv-checklist"};
    const uint64_t size = 5ull * 1024 * 1024 * 1024 + 3; // 0x1'4000'0003
    {
        std::ofstream touch(game.path() / "big.pak");
    }
    fs::resize_file(game.path() / "big.pak", size);

    CheckList list = BuildCheckList(game.path());
    ASSERT_TRUE(list.ok());
    const QELDtFile* record = FindRecord(list, "\\big.pak");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->sizeHigh, 1u);
    EXPECT_EQ(record->sizeLow, 0x40000003u);
}

TEST(CheckListBuilder, LinksAndSpecialFilesAreSkippedAndNoted)
{
    TempFolder game{"qelsrv-checklist"};
    TempFolder outside{"qelsrv-checklist"};
    WriteFile(outside.path() / "secret", 10);
    WriteFile(game.path() / "real", 1);
    fs::create_symlink(outside.path() / "secret", game.path() / "file-link");
    fs::create_directory_symlink(outside.path(), game.path() / "dir-link");
    ASSERT_EQ(mkfifo((game.path() / "pipe").c_str(), 0600), 0);

    CheckList list = BuildCheckList(game.path());
    ASSERT_TRUE(list.ok());
    EXPECT_EQ(Names(list), std::vector<std::string>{"\\real"});
    EXPECT_EQ(list.skipped.size(), 3u);
    EXPECT_TRUE(HasNoteFor(list.skipped, game.path() / "file-link"));
    EXPECT_TRUE(HasNoteFor(list.skipped, game.path() / "dir-link"));
    EXPECT_TRUE(HasNoteFor(list.skipped, game.path() / "pipe"));
}

TEST(CheckListBuilder, NamesTheClientCannotHoldAreErrors)
{
    const std::string longest(254, 'n'); // "\" + 254 bytes = 255, the most a record holds
    const std::string tooLong(255, 'n');
    struct Case {
        std::string name;
        bool fits;
    };
    const Case cases[] = {
        {longest, true},      {tooLong, false},     {"back\\slash", false}, {"co:lon", false},  {"star*", false},
        {"trailing.", false}, {"trailing ", false}, {"tab\tname", false},   {"NUL.txt", false}, {"com7", false},
        {"com0", true},       {"console", true},    {".hidden", true},
    };
    for (const Case& c : cases) {
        TempFolder game{"qelsrv-checklist"};
        WriteFile(game.path() / c.name, 1);
        CheckList list = BuildCheckList(game.path());
        EXPECT_EQ(list.ok(), c.fits) << c.name;
        EXPECT_EQ(list.records.size(), c.fits ? 1u : 0u) << c.name;
        if (!c.fits) {
            EXPECT_TRUE(HasNoteFor(list.errors, game.path() / c.name)) << c.name;
        }
    }
}

TEST(CheckListBuilder, NestedNameBeyond255BytesAndCaseTwinsAreErrors)
{
    TempFolder game{"qelsrv-checklist"};
    const std::string part(100, 'p');
    WriteFile(game.path() / part / part / "ok", 1);                 // 1+101+101+2 = 205 bytes
    WriteFile(game.path() / part / part / std::string(60, 'x'), 1); // 263 bytes
    WriteFile(game.path() / "Readme.txt", 1);
    WriteFile(game.path() / "README.TXT", 1);

    CheckList list = BuildCheckList(game.path());
    EXPECT_FALSE(list.ok());
    EXPECT_TRUE(HasNoteFor(list.errors, game.path() / part / part / std::string(60, 'x')));
    EXPECT_EQ(list.errors.size(), 2u);
    EXPECT_NE(FindRecord(list, "\\" + part + "\\" + part + "\\ok"), nullptr);
}

TEST(CheckListBuilder, SerializedRecordsHaveTheWireLayout)
{
    TempFolder game{"qelsrv-checklist"};
    WriteFile(game.path() / "x.dat", 0x0102);
    SetMtime(game.path() / "x.dat", 0, 100); // FILETIME 0x019DB1DED53E8001
    fs::create_directories(game.path() / "y");

    CheckList list = BuildCheckList(game.path());
    ASSERT_TRUE(list.ok());
    std::string bytes = SerializeCheckList(list);
    ASSERT_EQ(bytes.size(), 2u * 280u);
    EXPECT_EQ(list.ByteSize(), 560u);

    const unsigned char expectedHead[24] = {
        0x01, 0x80, 0x3E, 0xD5, 0xDE, 0xB1, 0x9D, 0x01, // lastWriteTime, low word first
        0x05, 0x07, 0x80, 0x19,                         // tag 0x19800705
        0x20, 0x00, 0x00, 0x00,                         // attributes
        0x00, 0x00, 0x00, 0x00,                         // sizeHigh
        0x02, 0x01, 0x00, 0x00,                         // sizeLow
    };
    EXPECT_EQ(std::memcmp(bytes.data(), expectedHead, sizeof expectedHead), 0);
    EXPECT_EQ(std::string(bytes.data() + 24, 7), std::string("\\x.dat\0", 7));
    EXPECT_EQ(bytes.find_first_not_of('\0', 24 + 6), 280u) << "the name field is NUL-padded";
    EXPECT_EQ(static_cast<unsigned char>(bytes[280 + 12]), 0x10);
    EXPECT_EQ(std::string(bytes.data() + 280 + 24, 4), std::string("\\y\\\0", 4));

    TempFolder out{"qelsrv-checklist"};
    std::string error;
    ASSERT_TRUE(WriteCheckListFile(list, out.path() / "list.dat", error)) << error;
    std::ifstream in(out.path() / "list.dat", std::ios::binary);
    std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, bytes);
}

TEST(CheckListBuilder, EmptyAndMissingFolders)
{
    TempFolder game{"qelsrv-checklist"};
    CheckList empty = BuildCheckList(game.path());
    EXPECT_TRUE(empty.ok());
    EXPECT_TRUE(empty.records.empty());

    CheckList missing = BuildCheckList(game.path() / "nope");
    EXPECT_FALSE(missing.ok());
}
