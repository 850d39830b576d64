// The check-list analysis and the local scan, on a drive mapped to a
// temporary folder: what the FileList keeps, what is deleted, what is created.
#include "filetask/CheckList.h"
#include "filetask/LocalScan.h"

#include "StatusText.h"
#include "UpdateTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using namespace qek;

using namespace updtest;
namespace fs = std::filesystem;

namespace {

const std::string kRoot = "D:\\Games\\X\\";
const std::string kCheckFile = "D:\\data\\list.dat";

class CheckListAnalysis : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(drive.Host(kRoot));
        fs::create_directories(drive.Host("data"));
    }
    void TearDown() override { checkList.ReleaseCheckList(); }

    void WriteCheckFile(const std::string& bytes, const std::string& path = kCheckFile)
    {
        fs::create_directories(drive.Host(path).parent_path());
        std::ofstream out(drive.Host(path), std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    Status Analyse(const std::vector<QELDtFile>& records, int allowDelete, int skip = 0)
    {
        WriteCheckFile(Serialize(records));
        return AnalyseCheckFile(kCheckFile.c_str(), chain, checkList, progress, Policy(allowDelete),
                                skip != 0 ? LocalCompare::Skip : LocalCompare::Compare);
    }

    static DeletePolicy Policy(int allowDelete)
    {
        return allowDelete != 0 ? DeletePolicy::DeleteUnlisted : DeletePolicy::KeepUnlisted;
    }

    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const FileList::Entry entry : list) {
            names.emplace_back(entry.name);
        }
        return names;
    }

    std::string Local(const std::string& name) const { return kRoot + name.substr(1); }

    // The totals as the next request carries them.
    FileRequest Request() const { return MakeFileRequest(progress, kFileRequestSendFile); }

    TempDrive drive;
    FolderChain chain{kRoot};
    ReceivedCheckList checkList;
    FileList& list = checkList.Entries();
    TaskProgress progress;
};

using NameList = std::vector<std::string>;

} // namespace

TEST_F(CheckListAnalysis, EmptyCheckFileCannotBeMapped)
{
    progress.filesDone = 9;
    EXPECT_EQ(StatusText(Analyse({}, 0)), FailedWith(110024));
    EXPECT_EQ(progress.filesDone, 0u); // cleared before anything else
    EXPECT_TRUE(list.Empty());
    EXPECT_EQ(drive.LogMessages(), (std::vector<std::string>{msg::Unmappable(ERROR_FILE_INVALID)}));
}

TEST_F(CheckListAnalysis, TrailingBytesShorterThanARecordAreIgnored)
{
    std::string bytes = Serialize({FileRecord("\\a", 10)});
    bytes += std::string(279, 'z');
    WriteCheckFile(bytes);
    EXPECT_EQ(
        StatusText(AnalyseCheckFile(kCheckFile.c_str(), chain, checkList, progress, Policy(0), LocalCompare::Compare)),
        "ok");
    EXPECT_EQ(Names(), (NameList{"\\a"}));
    EXPECT_EQ(progress.filesToUpdate, 1u);
    EXPECT_EQ(drive.LogMessages(), (std::vector<std::string>{msg::FilesToUpdate(1, 0, 10)}));
}

TEST_F(CheckListAnalysis, BadTagSkipsTheScanTheDirectoriesAndTheTotals)
{
    PutFile(drive, Local("\\a"), "aaaa");     // current: a scan would strike it out
    PutFile(drive, Local("\\unlisted"), "u"); // a scan would delete it
    std::vector<QELDtFile> records = {DirectoryRecord("\\early\\"), FileRecord("\\b", 7), FileRecord("\\a", 4),
                                      FileRecord("\\c", 1), DirectoryRecord("\\dir\\")};
    records[3].tag = 0xdeadbeef;
    EXPECT_EQ(StatusText(Analyse(records, 1)), "ok");
    EXPECT_EQ(Names(), (NameList{"\\a", "\\b", "\\early\\"}));
    EXPECT_EQ(progress.filesToUpdate, 0u);
    EXPECT_EQ(Request().bytesToUpdateHigh, 0u);
    EXPECT_EQ(Request().bytesToUpdateLow, 0u);
    EXPECT_TRUE(Exists(drive, Local("\\unlisted")));
    EXPECT_FALSE(Exists(drive, Local("\\early\\")));
    EXPECT_EQ(drive.LogMessages(), (std::vector<std::string>{msg::BadTag(static_cast<int>(0xdeadbeef))}));
}

TEST_F(CheckListAnalysis, BadTagInTheThirdRecordKeepsTwoEntries)
{
    std::vector<QELDtFile> records = {FileRecord("\\one", 1), FileRecord("\\two", 2), FileRecord("\\three", 3)};
    records[2].tag = 0;
    EXPECT_EQ(StatusText(Analyse(records, 0)), "ok");
    EXPECT_EQ(Names(), (NameList{"\\one", "\\two"}));
    EXPECT_EQ(progress.filesToUpdate, 0u);
    EXPECT_EQ(drive.LogMessages(), (std::vector<std::string>{msg::BadTag(0)}));
}

TEST_F(CheckListAnalysis, FirstRecordOfANameCountsAndTheSecondIsIgnored)
{
    EXPECT_EQ(StatusText(Analyse({FileRecord("\\a", 100), FileRecord("\\b", 1), FileRecord("\\a", 5000)}, 0)), "ok");
    EXPECT_EQ(Names(), (NameList{"\\a", "\\b"}));
    EXPECT_EQ(progress.filesToUpdate, 2u);
    EXPECT_EQ(Request().bytesToUpdateLow, 101u);
    EXPECT_EQ(list.Find("\\a")->sizeLow, 100u);
}

TEST_F(CheckListAnalysis, NamesThatDifferInLetterCaseAreTwoEntries)
{
    EXPECT_EQ(StatusText(Analyse({FileRecord("\\Game.exe", 1), FileRecord("\\game.exe", 2)}, 0)), "ok");
    EXPECT_EQ(Names(), (NameList{"\\Game.exe", "\\game.exe"}));
    EXPECT_EQ(progress.filesToUpdate, 2u);
}

TEST_F(CheckListAnalysis, FiveGibToFetchIsLoggedAsOneAndAQuarterOfTheLowHalf)
{
    EXPECT_EQ(StatusText(Analyse(
                  {FileRecord("\\big", 4ull << 30), FileRecord("\\more", 1ull << 30), DirectoryRecord("\\d\\")}, 0)),
              "ok");
    EXPECT_EQ(progress.filesToUpdate, 2u);
    EXPECT_EQ(Request().bytesToUpdateHigh, 1u);
    EXPECT_EQ(Request().bytesToUpdateLow, 1073741824u);
    EXPECT_EQ(drive.LogMessages(), (std::vector<std::string>{msg::FilesToUpdate(2, 1, 1073741824)}));
}

TEST_F(CheckListAnalysis, CurrentFilesAreStruckOutAndOneTimeUnitOrOneByteMakesAFileStale)
{
    PutFile(drive, Local("\\same"), "12345", kSomeTime);
    PutFile(drive, Local("\\time"), "12345", kSomeTime + 1);
    PutFile(drive, Local("\\timeHigh"), "12345", kSomeTime + (1ull << 32));
    PutFile(drive, Local("\\size"), "123456", kSomeTime);
    PutFile(drive, Local("\\sub\\same"), "", kSomeTime);
    EXPECT_EQ(StatusText(Analyse({FileRecord("\\same", 5), FileRecord("\\time", 5), FileRecord("\\timeHigh", 5),
                                  FileRecord("\\size", 5), FileRecord("\\missing", 5), DirectoryRecord("\\sub\\"),
                                  FileRecord("\\sub\\same", 0)},
                                 0)),
              "ok");
    EXPECT_EQ(Names(), (NameList{"\\missing", "\\size", "\\sub\\", "\\time", "\\timeHigh"}));
    EXPECT_EQ(progress.filesToUpdate, 4u);
    EXPECT_EQ(Request().bytesToUpdateLow, 20u);
}

// The comparison reads size and time from the listing, as Windows keeps them
// in the directory: a current file that another program holds open without
// sharing is still current, where opening it would fail.
TEST_F(CheckListAnalysis, TheListingAloneTellsAFileIsCurrent)
{
    PutFile(drive, Local("\\locked"), "12345", kSomeTime);
    const std::string path = Local("\\locked");
    HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(IsLocalFileCurrent(FileRecord("\\locked", 5), path.c_str())); // opening it fails
    EXPECT_EQ(StatusText(Analyse({FileRecord("\\locked", 5)}, 0)), "ok");
    CloseHandle(held);
    EXPECT_EQ(Names(), NameList{});
}

TEST_F(CheckListAnalysis, SkipFlagFetchesEverythingAndDeletesNothing)
{
    PutFile(drive, Local("\\same"), "12345");
    PutFile(drive, Local("\\unlisted"), "x");
    EXPECT_EQ(StatusText(Analyse({FileRecord("\\same", 5), DirectoryRecord("\\new\\")}, 1, 1)), "ok");
    EXPECT_EQ(Names(), (NameList{"\\new\\", "\\same"}));
    EXPECT_EQ(progress.filesToUpdate, 1u);
    EXPECT_TRUE(Exists(drive, Local("\\unlisted")));
    EXPECT_TRUE(fs::is_directory(drive.Host(Local("\\new\\"))));
}

TEST_F(CheckListAnalysis, UnlistedEntriesStayWithoutAllowDelete)
{
    PutFile(drive, Local("\\keep.txt"), "k");
    PutFile(drive, Local("\\olddir\\inside.txt"), "i");
    EXPECT_EQ(StatusText(Analyse({FileRecord("\\a", 1)}, 0)), "ok");
    EXPECT_TRUE(Exists(drive, Local("\\keep.txt")));
    EXPECT_TRUE(Exists(drive, Local("\\olddir\\inside.txt")));
}

TEST_F(CheckListAnalysis, UnlistedEntriesGoWithAllowDeleteAndAnUnlistedDirectoryGoesWhole)
{
    PutFile(drive, Local("\\gone.txt"), "g");
    PutFile(drive, Local("\\.dotfile"), "g");
    PutFile(drive, Local("\\Listed.txt"), "case differs");
    PutFile(drive, Local("\\olddir\\current.txt"), "c"); // listed and current, but its directory is not
    PutFile(drive, Local("\\kept\\current.txt"), "c");
    PutFile(drive, Local("\\..cfg"), "two dots: never compared nor deleted");
    EXPECT_EQ(StatusText(Analyse({FileRecord("\\listed.txt", 12), FileRecord("\\olddir\\current.txt", 1),
                                  DirectoryRecord("\\kept\\"), FileRecord("\\kept\\current.txt", 1)},
                                 1)),
              "ok");
    EXPECT_FALSE(Exists(drive, Local("\\gone.txt")));
    EXPECT_FALSE(Exists(drive, Local("\\.dotfile")));
    EXPECT_FALSE(Exists(drive, Local("\\Listed.txt")));
    EXPECT_FALSE(Exists(drive, Local("\\olddir\\")));
    EXPECT_TRUE(Exists(drive, Local("\\kept\\current.txt")));
    EXPECT_TRUE(Exists(drive, Local("\\..cfg")));
    // The listed file whose directory was removed was struck out as current
    // before: it is neither fetched nor kept. The case-different one is fetched.
    EXPECT_EQ(Names(), (NameList{"\\kept\\", "\\listed.txt"}));
}

TEST_F(CheckListAnalysis, ListedDirectoriesAreCreatedWithTheirParents)
{
    EXPECT_EQ(
        StatusText(Analyse({DirectoryRecord("\\a\\b\\c\\"), DirectoryRecord("\\a\\"), DirectoryRecord("\\z\\")}, 0)),
        "ok");
    EXPECT_TRUE(fs::is_directory(drive.Host(Local("\\a\\b\\c\\"))));
    EXPECT_TRUE(fs::is_directory(drive.Host(Local("\\z\\"))));
    EXPECT_EQ(progress.filesToUpdate, 0u);
}

TEST_F(CheckListAnalysis, MarkerIsDeletedByTheScanButTheOpenCheckFileSurvives)
{
    const std::string checkFile = kRoot + "tarngamever\\QELFilesInfo.dat.tmp";
    PutFile(drive, kRoot + "tarnGameVer\\tarnGameVer.txt", "1.0");
    WriteCheckFile(Serialize({FileRecord("\\a", 1)}), checkFile);
    EXPECT_EQ(
        StatusText(AnalyseCheckFile(checkFile.c_str(), chain, checkList, progress, Policy(1), LocalCompare::Compare)),
        "ok");
    EXPECT_FALSE(Exists(drive, kRoot + "tarnGameVer\\tarnGameVer.txt"));
    EXPECT_TRUE(Exists(drive, checkFile));
    EXPECT_EQ(Names(), (NameList{"\\a"}));
}

TEST_F(CheckListAnalysis, HostileNamesFailTheWholeAnalysisBeforeAnythingIsTouched)
{
    const std::vector<std::string> hostile = {
        "\\..\\outside.txt",
        "\\sub\\..\\..\\outside.txt",
        "..\\outside.txt",
        "outside.txt",
        "\\C:\\outside.txt",
        "\\a\\\\b",
        "\\.\\x",
        "\\...\\x",
        "\\sub/../../x",
        "\\x:stream",
    };
    for (const std::string& name : hostile) {
        SCOPED_TRACE(name);
        PutFile(drive, Local("\\unlisted"), "u");
        checkList.ReleaseCheckList();
        const size_t logSize = drive.LogBytes().size();
        EXPECT_EQ(StatusText(Analyse({FileRecord("\\a", 1), DirectoryRecord("\\newdir\\"), FileRecord(name, 3),
                                      DirectoryRecord(name + "\\")},
                                     1)),
                  FailedWith(ERROR_INVALID_NAME));
        EXPECT_TRUE(Exists(drive, Local("\\unlisted")));
        EXPECT_FALSE(Exists(drive, Local("\\newdir\\")));
        EXPECT_EQ(progress.filesToUpdate, 0u);
        EXPECT_EQ(drive.LogBytes().substr(logSize).find(msg::BadName(name)) != std::string::npos, true);
    }
    EXPECT_FALSE(Exists(drive, "D:\\Games\\outside.txt"));
    EXPECT_FALSE(Exists(drive, "D:\\outside.txt"));
}

TEST_F(CheckListAnalysis, NameWithoutNulFailsTheAnalysis)
{
    QELDtFile record = FileRecord("\\x", 1);
    std::memset(record.name + 1, 'n', sizeof(record.name) - 1);
    EXPECT_EQ(StatusText(Analyse({record}, 0)), FailedWith(ERROR_INVALID_NAME));
    EXPECT_EQ(drive.LogMessages(), (std::vector<std::string>{msg::BadName("\\" + std::string(254, 'n'))}));
}

TEST_F(CheckListAnalysis, PathBeyond255CharactersFailsTheAnalysis)
{
    const std::string fits = "\\" + std::string(255 - kRoot.size() - 1, 'f');
    const std::string tooLong = fits + "g";
    EXPECT_EQ(StatusText(Analyse({FileRecord(fits, 1)}, 0)), "ok");
    checkList.ReleaseCheckList();
    EXPECT_EQ(StatusText(Analyse({FileRecord(fits, 1), FileRecord(tooLong, 1)}, 0)),
              FailedWith(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(drive.LogMessages().back(), msg::PathTooLong(kRoot, tooLong));
}

TEST_F(CheckListAnalysis, LinksAreNeitherFollowedNorCurrent)
{
    const fs::path outside = drive.Root() / "outside";
    fs::create_directories(outside);
    PutFile(drive, "D:\\outside\\victim.txt", "12345");
    fs::create_directory_symlink(outside, drive.Host(Local("\\dirlink")));
    fs::create_directory_symlink(outside, drive.Host(Local("\\listedlink")));
    fs::create_symlink(outside / "victim.txt", drive.Host(Local("\\filelink")));
    fs::create_symlink(outside / "victim.txt", drive.Host(Local("\\same.txt")));
    // \same.txt points at a file with the listed time and size: still fetched.
    EXPECT_EQ(StatusText(Analyse({FileRecord("\\same.txt", 5), DirectoryRecord("\\listedlink\\")}, 1)), "ok");
    EXPECT_TRUE(Exists(drive, "D:\\outside\\victim.txt"));
    EXPECT_FALSE(Exists(drive, Local("\\dirlink"))); // the unlisted links themselves are removed
    EXPECT_FALSE(Exists(drive, Local("\\filelink")));
    EXPECT_EQ(Names(), (NameList{"\\listedlink\\", "\\same.txt"}));
    // A listed directory that is a link is replaced by a real directory.
    EXPECT_EQ(fs::symlink_status(drive.Host(Local("\\listedlink"))).type(), fs::file_type::directory);
    EXPECT_EQ(ReadFileBytes(drive, "D:\\outside\\victim.txt"), "12345");
}

TEST(LocalScan, MissingRootEndsTheScanAtOnce)
{
    TempDrive drive;
    QELDtFile record = FileRecord("\\a", 0);
    FileList list;
    list.Insert(&record);
    FolderChain chain("D:\\nothing\\");
    EXPECT_FALSE(ScanLocalDirectory(chain, "D:\\nothing\\", list, DeletePolicy::DeleteUnlisted));
    EXPECT_EQ(list.Size(), 1u);
}

TEST(LocalScan, EmptyRootChangesNothing)
{
    TempDrive drive;
    fs::create_directories(drive.Host("D:\\empty"));
    QELDtFile record = FileRecord("\\a", 0);
    FileList list;
    list.Insert(&record);
    FolderChain chain("D:\\empty\\");
    EXPECT_TRUE(ScanLocalDirectory(chain, "D:\\empty\\", list, DeletePolicy::DeleteUnlisted));
    EXPECT_EQ(list.Size(), 1u);
}

TEST(LocalScan, DirectoryPathBeyondItsBufferEndsTheScanWithoutDeletingIt)
{
    TempDrive drive;
    const std::string root = "D:\\r\\";
    const std::string deep = root + std::string(200, 'a') + "\\" + std::string(60, 'b') + "\\";
    PutFile(drive, deep + "file.txt", "x");
    FileList list;
    FolderChain chain(root);
    EXPECT_FALSE(ScanLocalDirectory(chain, root.c_str(), list, DeletePolicy::DeleteUnlisted));
    EXPECT_TRUE(Exists(drive, deep + "file.txt"));
}

TEST(LocalScan, CurrencyIsTimeAndSizeOnly)
{
    TempDrive drive;
    PutFile(drive, "D:\\f.bin", "abc", kSomeTime);
    EXPECT_TRUE(IsLocalFileCurrent(FileRecord("\\f.bin", 3, kSomeTime), "D:\\f.bin"));
    EXPECT_FALSE(IsLocalFileCurrent(FileRecord("\\f.bin", 3, kSomeTime - 1), "D:\\f.bin"));
    EXPECT_FALSE(IsLocalFileCurrent(FileRecord("\\f.bin", 3 + (1ull << 32), kSomeTime), "D:\\f.bin"));
    EXPECT_FALSE(IsLocalFileCurrent(FileRecord("\\f.bin", 3, kSomeTime), "D:\\missing.bin"));
    fs::create_directories(drive.Host("D:\\dir"));
    EXPECT_FALSE(IsLocalFileCurrent(FileRecord("\\dir", 0, kSomeTime), "D:\\dir"));
}
