// File reception without a server: what happens before anything is asked
// for (names, paths, creation) and files of size 0, which need no exchange.
#include "WriteModes.h"
#include "filetask/FileReception.h"

#include "StatusText.h"
#include "UpdateTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace qek;

using namespace updtest;
namespace fs = std::filesystem;

namespace {

const std::string kTarget = "D:\\Games\\X\\";

// No connection: a call that tried to talk to a server would fail with the
// transport's handle error instead of the result these tests expect.
constexpr RavelnetConnection kNoConnection = 0;

class FileReception : public ::testing::TestWithParam<qek::WriteMode> {
protected:
    void SetUp() override { fs::create_directories(drive.Host(kTarget)); }

    Status Receive(const QELDtFile& record, const std::string& target = kTarget)
    {
        return GetParam() == qek::WriteMode::Unbuffered
                   ? ReceiveFileUnbuffered(kNoConnection, params, record, progress, buffer.data(), target.c_str())
                   : ReceiveFileBuffered(kNoConnection, params, record, progress, buffer.data(), target.c_str());
    }

    TempDrive drive;
    TaskParams params{};
    TaskProgress progress;
    std::vector<char> buffer = std::vector<char>(kReceiveBufferSize);
};

} // namespace

TEST_P(FileReception, EmptyFileReplacesAProtectedOneWithoutAnyExchange)
{
    PutFile(drive, kTarget + "cfg.ini", "old content", kSomeTime - 100);
    ASSERT_TRUE(SetFileAttributesA((kTarget + "cfg.ini").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    progress.bytesDone = 77;
    EXPECT_EQ(StatusText(Receive(FileRecord("\\cfg.ini", 0, kSomeTime))), "ok");
    EXPECT_EQ(ReadFileBytes(drive, kTarget + "cfg.ini"), "");
    EXPECT_EQ(FileTimeOf(kTarget + "cfg.ini"), kSomeTime);
    EXPECT_EQ(GetFileAttributesA((kTarget + "cfg.ini").c_str()) &
                  (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              0u);
    const FileRequest request = MakeFileRequest(progress, kFileRequestSendFile);
    EXPECT_EQ(request.bytesDoneLow, 77u);
    EXPECT_STREQ(request.fileName, "\\cfg.ini");
    const std::vector<std::string> expected =
        GetParam() == qek::WriteMode::Unbuffered
            ? std::vector<std::string>{msg::Downloaded(kTarget + "\\cfg.ini", 0, 0)}
            : std::vector<std::string>{};
    EXPECT_EQ(drive.LogMessages(), expected);
}

TEST_P(FileReception, MissingDirectoryFailsWithPathNotFoundBeforeAnyRequest)
{
    EXPECT_EQ(StatusText(Receive(FileRecord("\\nodir\\a.txt", 10))), FailedWith(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(drive.LogMessages(),
              (std::vector<std::string>{msg::CreateFailed(kTarget + "\\nodir\\a.txt", ERROR_PATH_NOT_FOUND)}));
    EXPECT_FALSE(Exists(drive, kTarget + "nodir"));
}

TEST_P(FileReception, UnsafeNameIsRefusedBeforeAnythingIsCreated)
{
    EXPECT_EQ(StatusText(Receive(FileRecord("\\..\\outside.txt", 0))), FailedWith(ERROR_INVALID_NAME));
    EXPECT_FALSE(Exists(drive, "D:\\Games\\outside.txt"));
    EXPECT_EQ(drive.LogMessages(), (std::vector<std::string>{msg::ReceiveBadName("\\..\\outside.txt")}));
}

TEST_P(FileReception, PathBeyond255CharactersIsRefusedNotCut)
{
    const std::string name = "\\" + std::string(255 - kTarget.size(), 'n'); // one character too many
    EXPECT_EQ(StatusText(Receive(FileRecord(name, 0))), FailedWith(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(drive.LogMessages(), (std::vector<std::string>{msg::ReceivePathTooLong(kTarget, name)}));
    const std::string fits = name.substr(0, name.size() - 1);
    EXPECT_EQ(StatusText(Receive(FileRecord(fits, 0))), "ok");
    EXPECT_TRUE(Exists(drive, kTarget + fits.substr(1)));
}

TEST_P(FileReception, LinkAtTheFilesPlaceIsReplacedByTheFile)
{
    PutFile(drive, "D:\\outside\\victim.txt", "victim");
    fs::create_symlink(drive.Host("D:\\outside\\victim.txt"), drive.Host(kTarget + "game.cfg"));
    EXPECT_EQ(StatusText(Receive(FileRecord("\\game.cfg", 0))), "ok");
    EXPECT_EQ(fs::symlink_status(drive.Host(kTarget + "game.cfg")).type(), fs::file_type::regular);
    EXPECT_EQ(ReadFileBytes(drive, "D:\\outside\\victim.txt"), "victim");
}

// What is found at a folder or a file's name is looked at when that file is
// written, not once per task: a link or hard link planted in a folder after
// an earlier file of the same task was written there is not written through.
TEST_P(FileReception, LinksPlantedBetweenTwoFilesOfOneTaskAreNotWrittenThrough)
{
    enum class Plant { FolderLink, FileLink, HardLink };
    struct Case {
        const char* what;
        Plant plant;
    };
    const Case cases[] = {
        {"a link in place of the folder", Plant::FolderLink},
        {"a link at the next file's name", Plant::FileLink},
        {"a hard link at the next file's name", Plant::HardLink},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string folder = kTarget + "sub";
        fs::remove_all(drive.Host(folder));
        fs::remove_all(drive.Host("D:\\outside"));
        fs::create_directories(drive.Host(folder));
        PutFile(drive, "D:\\outside\\b.txt", "victim");
        const fs::path victim = drive.Host("D:\\outside\\b.txt");
        const QELDtFile records[] = {FileRecord("\\sub\\a.txt", 0), FileRecord("\\sub\\b.txt", 0)};
        FileList list;
        for (const QELDtFile& record : records) {
            list.Insert(&record);
        }
        const auto plantAfterFirst = [&](const QELDtFile& record) {
            if (std::strcmp(record.name, "\\sub\\a.txt") != 0) {
                return Status::Ok();
            }
            const fs::path place = drive.Host(folder);
            switch (c.plant) {
            case Plant::FolderLink:
                fs::remove_all(place);
                fs::create_directory_symlink(victim.parent_path(), place);
                break;
            case Plant::FileLink:
                fs::create_symlink(victim, place / "b.txt");
                break;
            case Plant::HardLink:
                fs::create_hard_link(victim, place / "b.txt");
                break;
            }
            return Status::Ok();
        };
        progress = TaskProgress{};
        EXPECT_EQ(StatusText(DownloadListedFiles(kNoConnection, GetParam(), params, list, progress, kTarget.c_str(),
                                                 plantAfterFirst)),
                  "ok");
        EXPECT_EQ(progress.filesDone, 2u);
        EXPECT_EQ(fs::symlink_status(drive.Host(folder)).type(), fs::file_type::directory);
        EXPECT_EQ(fs::symlink_status(drive.Host(kTarget + "sub\\b.txt")).type(), fs::file_type::regular);
        EXPECT_EQ(ReadFileBytes(drive, "D:\\outside\\b.txt"), "victim");
        EXPECT_EQ(fs::hard_link_count(victim), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(WriteModes, FileReception, qeltest::EveryWriteMode(),
                         [](const auto& info) { return qeltest::WriteModeName(info); });
