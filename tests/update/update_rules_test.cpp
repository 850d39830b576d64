// The pure rules of the update task: record layouts as bytes, the
// allowDelete rule, name safety, name order and the FileList, path joining.
#include "base/Paths.h"
#include "filetask/FileList.h"
#include "protocol/FileTaskRecords.h"
#include "update/UpdateTask.h"

#include "UpdateTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace qek;

using updtest::DirectoryRecord;
using updtest::FileRecord;

namespace {

template <class Record>
std::vector<uint8_t> BytesOf(const Record& record)
{
    std::vector<uint8_t> bytes(sizeof(record));
    std::memcpy(bytes.data(), &record, sizeof(record));
    return bytes;
}

uint32_t WordAt(const std::vector<uint8_t>& bytes, size_t offset)
{
    return uint32_t{bytes[offset]} | uint32_t{bytes[offset + 1]} << 8 | uint32_t{bytes[offset + 2]} << 16 |
           uint32_t{bytes[offset + 3]} << 24;
}

} // namespace

TEST(UpdateRecords, CheckListRecordIsLittleEndianWithTimeLowWordFirst)
{
    QELDtFile record = FileRecord("\\bin\\game.exe", 0x123456789aull, 0x01d7aabbccddeeffull);
    const auto bytes = BytesOf(record);
    ASSERT_EQ(bytes.size(), 280u);
    EXPECT_EQ(WordAt(bytes, 0), 0xccddeeffu);
    EXPECT_EQ(WordAt(bytes, 4), 0x01d7aabbu);
    EXPECT_EQ(WordAt(bytes, 8), 0x19800705u);
    EXPECT_EQ(bytes[8], 0x05); // the tag's bytes on the wire: 05 07 80 19
    EXPECT_EQ(WordAt(bytes, 16), 0x12u);
    EXPECT_EQ(WordAt(bytes, 20), 0x3456789au);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[24])), "\\bin\\game.exe");
    EXPECT_EQ(RecordSize(record), 0x123456789aull);
    EXPECT_FALSE(IsDirectoryRecord(record));
    EXPECT_TRUE(IsDirectoryRecord(DirectoryRecord("\\bin\\")));
}

TEST(UpdateRecords, FileRequestOfFiveGibCarriesTheHighByteAlone)
{
    FileRequest request{};
    const uint64_t size = 5ull << 30;
    request.fileSizeHighByte = static_cast<uint8_t>(size >> 32);
    request.fileSizeLow = static_cast<uint32_t>(size);
    request.filesDone = 2;
    const auto bytes = BytesOf(request);
    ASSERT_EQ(bytes.size(), 292u);
    EXPECT_EQ(bytes[284], 1);
    EXPECT_EQ(bytes[285], 0);
    EXPECT_EQ(bytes[286], 0);
    EXPECT_EQ(bytes[287], 0);
    EXPECT_EQ(WordAt(bytes, 288), 1073741824u);
    EXPECT_EQ(WordAt(bytes, 8), 2u);
}

TEST(UpdateRecords, SixtyFourBitCountsSplitHighHalfFirst)
{
    FileRequest request{};
    const uint64_t total = (5ull << 30) + 7;
    request.bytesToUpdateHigh = HighHalf(total);
    request.bytesToUpdateLow = LowHalf(total);
    EXPECT_EQ(request.bytesToUpdateHigh, 1u);
    EXPECT_EQ(request.bytesToUpdateLow, 1073741831u);
    EXPECT_EQ(BytesToUpdate(request), total);
    const auto bytes = BytesOf(request);
    EXPECT_EQ(WordAt(bytes, 12), 1u);
    EXPECT_EQ(WordAt(bytes, 16), 1073741831u);
}

TEST(UpdateRecords, TaskParamsFieldsSitAtTheirOffsets)
{
    TaskParams params{};
    params.taskId = 77;
    std::strcpy(params.gameVersion, "v1");
    std::strcpy(params.gamePath, "D:\\Games\\X\\");
    params.excludeDriveLetter = 'e';
    params.skipLocalCompare = 1;
    params.checkListSize = 560;
    const auto bytes = BytesOf(params);
    ASSERT_EQ(bytes.size(), 668u);
    EXPECT_EQ(WordAt(bytes, 0), 77u);
    EXPECT_EQ(bytes[8], 'v');
    EXPECT_EQ(bytes[136], 'D');
    EXPECT_EQ(bytes[652], 'e');
    EXPECT_EQ(WordAt(bytes, 656), 1u);
    EXPECT_EQ(WordAt(bytes, 664), 560u);
}

TEST(AllowDelete, TwoLevelsBelowTheDriveRootAndNothingThatFolds)
{
    struct Case {
        const char* gamePath;
        int expected;
    };
    const Case cases[] = {
        {"D:\\Games\\Name\\", 1},
        {"D:\\Games\\Name", 1},
        {"D:\\Games\\Sub\\Name\\", 1},
        {"D:\\Name\\", 0},
        {"D:\\", 0},
        {"D:", 0},
        {"", 0},
        // Not the one accepted form: empty names, no drive, drive-relative.
        {"D:\\Games\\Name\\\\", 0},
        {"D:\\Name\\\\\\", 0},
        {"D:\\Games\\\\Name\\", 0},
        {"D:\\\\Name\\", 0},
        {"\\Games\\Name\\", 0},
        {"Games\\Name\\", 0},
        {"D:Games\\Name\\", 0},
        // Windows folds these up to a shallower directory.
        {"D:\\Games\\..\\", 0},
        {"D:\\Games\\.\\", 0},
        {"D:\\Games\\...\\", 0},
        {"D:\\Games\\Name\\..\\", 0},
        {"D:\\Games\\. \\", 0},
        {"D:\\..\\Name\\", 0},
        {"D:\\Games/..\\Name\\", 0},
        {"D:\\Games\\Name/\\", 0},
        {"D:\\Games\\.hidden\\", 1}, // a name that merely begins with a dot is fine
        // A double-byte character whose second byte is a backslash is one
        // character: 淺 (9C 5C) and 運 (DF 5C).
        {"D:\\"
         "\x9C\x5C"
         "\xCB\xAE"
         "\\",
         0}, // "D:\淺水\": one level
        {"D:\\"
         "\xCD\xF8\xC2\xE7"
         "\\"
         "\x9C\x5C"
         "\xCB\xAE"
         "\\",
         1}, // "D:\网络\淺水\"
        {"D:\\Games\\"
         "\xDF\x5C"
         "\\",
         1}, // "D:\Games\運\"
        {"D:\\"
         "\xDF\x5C"
         "\\",
         0}, // "D:\運\"
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DeletePolicyFor(c.gamePath) == DeletePolicy::DeleteUnlisted, c.expected == 1) << c.gamePath;
    }
}

TEST(AllowDelete, LongPathIsReadWithinItsWorkBuffer)
{
    std::string path = "D:\\Games\\" + std::string(240, 'x') + "\\";
    EXPECT_EQ(DeletePolicyFor(path.c_str()), DeletePolicy::DeleteUnlisted);
}

TEST(EntryNames, OnlyNamesThatStayBelowTheRootAreSafe)
{
    struct Case {
        const char* name;
        bool safe;
    };
    const Case cases[] = {
        {"\\game.exe", true},
        {"\\bin\\game.exe", true},
        {"\\bin\\", true},
        {"\\", true}, // the root itself, as a directory entry
        {"\\.hidden", true},
        {"\\a..b\\c", true},
        {"\\..cfg", true},
        {"game.exe", false}, // no leading backslash
        {"", false},
        {"\\\\server\\share", false}, // empty component
        {"\\bin\\\\game.exe", false},
        {"\\bin\\\\", false}, // two trailing backslashes
        {"\\..", false},
        {"\\..\\x", false},
        {"\\bin\\..\\..\\x", false},
        {"\\.\\x", false},
        {"\\bin\\.", false},
        {"\\...\\x", false},
        {"\\.. \\x", false},
        {"\\ \\x", false},
        {"\\C:\\Windows\\x", false},
        {"\\file.txt:stream", false},
        {"\\bin/../../x", false},
        {"\\bin/x", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsSafeEntryName(c.name, std::strlen(c.name) + 1), c.safe) << c.name;
    }
}

// Names Windows would not store as written: a device instead of a file, a
// name without its trailing dots or spaces, characters it refuses.
TEST(EntryNames, OnlyNamesWindowsStoresAsWrittenAreSafe)
{
    struct Case {
        const char* name;
        bool safe;
    };
    const Case cases[] = {
        {"\\COM1.txt", false},
        {"\\com9", false},
        {"\\NUL", false},
        {"\\nul.tar.gz", false},
        {"\\aux\\x.txt", false},
        {"\\Con .txt", false},
        {"\\PRN  ", false},
        {"\\lpt5.log", false},
        {"\\dot.txt.", false},
        {"\\space.txt ", false},
        {"\\dir.\\x", false},
        {"\\a<b", false},
        {"\\a>b", false},
        {"\\a\"b", false},
        {"\\a|b", false},
        {"\\a?b", false},
        {"\\a*b", false},
        {"\\tab\tname", false},
        {"\\bell\x07", false},
        {"\\COM0", true},
        {"\\COM10", true},
        {"\\console", true},
        {"\\nul_x", true},
        {"\\LPT", true},
        {"\\auxiliary.txt", true},
        {"\\x.con", true},
        {"\\ lead.txt", true},
        // GBK: the second byte of a double-byte character is no separator
        // or forbidden character (0x7C is '|' alone, part of the character here).
        {"\\\xb0\x7c.txt", true},
        {"\\\xb0\xa1\\x", true},
        {"\\x\xb0", false},  // a lead byte at the end: Windows drops it
        {"\\\x8f/x", false}, // a second byte that no character ends in:
        {"\\\x81:", false},  // Windows stores another character
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsSafeEntryName(c.name, std::strlen(c.name) + 1), c.safe) << c.name;
    }
}

TEST(EntryNames, NameWithoutNulInItsFieldIsNotSafe)
{
    char field[256];
    std::memset(field, 'a', sizeof(field));
    field[0] = '\\';
    EXPECT_FALSE(IsSafeEntryName(field, sizeof(field)));
    field[255] = '\0';
    EXPECT_TRUE(IsSafeEntryName(field, sizeof(field)));
}

TEST(NameOrder, UnsignedBytewiseWithPrefixFirst)
{
    EXPECT_TRUE(NameLess("\\a", "\\b"));
    EXPECT_TRUE(NameLess("\\B", "\\a")); // letter case counts: 'B' (0x42) < 'a' (0x61)
    EXPECT_TRUE(NameLess("\\bin", "\\bin\\"));
    EXPECT_TRUE(NameLess("\\bin\\", "\\bin\\a"));
    EXPECT_TRUE(NameLess("\\z", "\\\xb0\xa1")); // bytes above 0x7f sort after ASCII
    EXPECT_FALSE(NameLess("\\a", "\\a"));
    EXPECT_TRUE(NameLess("", "\\"));
}

TEST(FileListOrder, EntriesComeInByteOrderAndTheFirstRecordOfANameWins)
{
    std::vector<QELDtFile> records = {
        FileRecord("\\z.dat", 1),    FileRecord("\\B.dat", 2),  FileRecord("\\a.dat", 3),
        DirectoryRecord("\\bin\\"),  FileRecord("\\bin\\x", 4), FileRecord("\\a.dat", 99),
        FileRecord("\\\xb0\xa1", 5), FileRecord("\\A.dat", 6),  FileRecord("\\bin", 7),
    };
    FileList list;
    for (const QELDtFile& record : records) {
        list.Insert(&record);
    }
    std::vector<std::string> names;
    for (const FileList::Entry entry : list) {
        names.emplace_back(entry.name);
    }
    const std::vector<std::string> expected = {"\\A.dat", "\\B.dat",  "\\a.dat", "\\bin",
                                               "\\bin\\", "\\bin\\x", "\\z.dat", "\\\xb0\xa1"};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(list.Size(), 8u);
    ASSERT_NE(list.Find("\\a.dat"), nullptr);
    EXPECT_EQ(list.Find("\\a.dat")->sizeLow, 3u); // the first one, not the later 99
    EXPECT_EQ(list.Find("\\a.dat"), &records[2]); // pointing at the record itself
    EXPECT_EQ(list.Find("\\A.DAT"), nullptr);
    EXPECT_EQ(list.Find("\\a.da"), nullptr);
}

TEST(FileListOrder, ErasedEntriesAreGoneFromLookupIterationAndSize)
{
    std::vector<QELDtFile> records = {FileRecord("\\c", 1), FileRecord("\\a", 1), FileRecord("\\b", 1)};
    FileList list;
    for (const QELDtFile& record : records) {
        list.Insert(&record);
    }
    EXPECT_TRUE(list.Erase("\\b"));
    EXPECT_FALSE(list.Erase("\\b"));
    EXPECT_FALSE(list.Erase("\\nope"));
    EXPECT_EQ(list.Find("\\b"), nullptr);
    EXPECT_EQ(list.Size(), 2u);
    std::vector<std::string> names;
    for (const FileList::Entry entry : list) {
        names.emplace_back(entry.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"\\a", "\\c"}));
    EXPECT_TRUE(list.Erase("\\a"));
    EXPECT_TRUE(list.Erase("\\c"));
    EXPECT_TRUE(list.Empty());
    EXPECT_TRUE(list.begin() == list.end());
    list.Clear();
    EXPECT_EQ(list.Size(), 0u);
}

TEST(Paths, JoinRefusesWhatDoesNotFitAndCutsNothing)
{
    char out[16];
    EXPECT_TRUE(JoinPath(out, "D:\\G\\", "\\a.txt"));
    EXPECT_STREQ(out, "D:\\G\\\\a.txt");
    EXPECT_TRUE(JoinPath(out, "0123456789", "abcde")); // 15 characters and the NUL
    EXPECT_FALSE(JoinPath(out, "0123456789", "abcdef"));
    EXPECT_STREQ(out, "");
}

TEST(Paths, TemporaryCheckListBesideTheMarker)
{
    char out[256];
    ASSERT_TRUE(BuildCheckListPath(out, sizeof(out), "D:\\Games\\X\\"));
    EXPECT_STREQ(out, "D:\\Games\\X\\tarngamever\\QELFilesInfo.dat.tmp");
    const std::string longest = "D:\\" + std::string(kMaxGamePathBytes - 4, 'g') + "\\";
    ASSERT_EQ(longest.size(), kMaxGamePathBytes);
    EXPECT_TRUE(BuildCheckListPath(out, sizeof(out), longest.c_str()));
    EXPECT_EQ(std::strlen(out), 255u);
    const std::string tooLong = "D:\\" + std::string(kMaxGamePathBytes - 3, 'g') + "\\";
    EXPECT_FALSE(BuildCheckListPath(out, sizeof(out), tooLong.c_str()));
}
