// Sizes past 32 bits against the installed client, in both worlds and both
// write modes: files of 4 GiB + 3 bytes and of exactly 4 GiB, one task whose
// requested bytes pass 2 GiB (and 4 and 8, with the top bit of the low
// halves set), the progress that every request carries, the comparison that
// finds such files current, a copy of such a file onto another drive, and
// drives with more than 4 GiB free. Built by the i386 preset, the client and
// this test count in 32-bit words, as the product does.
//
// The server's files are sparse: zeros but for a mark at the start of every
// 512 KiB chunk that tells where the chunk belongs, so that a chunk written
// at a wrapped offset shows. The client writes every byte (about 10 GiB in
// an update case); its drives go with the case.
#include "E2ESupport.h"

#include "checklist.h"
#include "dirsync_session.h"
#include "maintenance_tasks.h"
#include "update_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace fs = std::filesystem;

namespace e2e {
namespace {

constexpr uint64_t kOneSecond = 10000000; // FILETIME units
constexpr uint64_t kGiB = 1ull << 30;
constexpr uint64_t kChunk = 0x80000; // the most the client receives at once

// The mark of the chunk at `offset`, of which a file holds the bytes that fit.
uint64_t MarkOf(uint64_t offset)
{
    return (offset / kChunk + 1) * 0x9E3779B97F4A7C15ull;
}

size_t MarkLength(uint64_t size, uint64_t offset)
{
    return static_cast<size_t>(std::min<uint64_t>(sizeof(uint64_t), size - offset));
}

// A sparse file of `size` bytes, marked, with the last-write time given.
void PutMarkedFile(const fs::path& path, uint64_t size, uint64_t fileTime)
{
    fs::create_directories(path.parent_path());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0) << path;
    for (uint64_t offset = 0; offset < size; offset += kChunk) {
        const uint64_t mark = MarkOf(offset);
        const size_t length = MarkLength(size, offset);
        ASSERT_EQ(::pwrite(fd, &mark, length, static_cast<off_t>(offset)), static_cast<ssize_t>(length)) << path;
    }
    ::close(fd);
    SetFileTimeOf(path, fileTime);
}

// What is wrong with the client's copy of a marked file: its size, its time,
// or the first chunk whose mark is not where it belongs; "" when nothing is.
std::string MarkedFileProblem(const fs::path& path, uint64_t size, uint64_t fileTime)
{
    std::error_code error;
    const uintmax_t actual = fs::file_size(path, error);
    if (error) {
        return path.string() + ": " + error.message();
    }
    if (actual != size) {
        return path.string() + ": " + std::to_string(actual) + " bytes, not " + std::to_string(size);
    }
    if (FileTimeOf(path) != fileTime) {
        return path.string() + ": last-write time " + std::to_string(FileTimeOf(path).value_or(0));
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return path.string() + ": " + std::strerror(errno);
    }
    std::string problem;
    for (uint64_t offset = 0; offset < size && problem.empty(); offset += kChunk) {
        const uint64_t expected = MarkOf(offset);
        uint64_t found = 0;
        const size_t length = MarkLength(size, offset);
        if (::pread(fd, &found, length, static_cast<off_t>(offset)) != static_cast<ssize_t>(length) ||
            std::memcmp(&found, &expected, length) != 0) {
            problem = path.string() + ": the chunk at " + std::to_string(offset) + " is not the server's";
        }
    }
    ::close(fd);
    return problem;
}

struct BigFile {
    const char* name; // below the game folder, in the order the client asks for them
    uint64_t size;
    uint64_t fileTime;
};

// 2 GiB + 1, exactly 4 GiB (low half 0), 4 GiB + 3: the bytes done before
// each request are 0, 0x0_80000001 and 0x1_80000001, the task's total is
// 0x2_80000004.
const BigFile kBigFiles[] = {
    {"1.pak", 2 * kGiB + 1, kSomeTime + 1 * kOneSecond + 11},
    {"2.pak", 4 * kGiB, kSomeTime + 2 * kOneSecond + 22},
    {"3.pak", 4 * kGiB + 3, kSomeTime + 3 * kOneSecond + 33},
};
constexpr uint64_t kBigTotal = 10 * kGiB + 4;

std::string WindowsName(const char* name)
{
    return std::string("\\") + name;
}

class Past32BitsUpdateE2E : public WorldAndModeTest {
protected:
    void SetUp() override
    {
        WorldAndModeTest::SetUp();
        if (client_) {
            client_->MapDrives({{'D'}});
        }
    }

    fs::path ClientGame() { return Client().Drive('D') / "games" / "big"; }

    qelsrv::SessionResult RunUpdate(const std::string& version, std::vector<qelsrv::SessionProgress>& progress)
    {
        const qelsrv::CheckList list = qelsrv::BuildCheckList(server_.Path());
        EXPECT_TRUE(list.ok());
        qelsrv::FileTaskSpec spec;
        std::string error;
        EXPECT_TRUE(qelsrv::MakeUpdateParams(5, version, "D:\\games\\big\\", false, spec.params, error)) << error;
        return qelsrv::RunFileTaskSession(Client().Endpoint(), spec, list,
                                          [&](const qelsrv::SessionProgress& each) { progress.push_back(each); });
    }

    TempFolder server_;
};

// The client holds 2.pak empty and 3.pak with 3 bytes, each with the
// server's time: only the high half of the size tells them from the
// server's, so both are fetched. Then the same files are current.
TEST_P(Past32BitsUpdateE2E, FilesPast4GiBArriveWholeWithTheTasksProgressInBothHalves)
{
    for (const BigFile& file : kBigFiles) {
        PutMarkedFile(server_.Path() / file.name, file.size, file.fileTime);
    }
    ASSERT_FALSE(HasFatalFailure());
    PutFile(ClientGame() / "2.pak", "", kBigFiles[1].fileTime);
    PutFile(ClientGame() / "3.pak", "abc", kBigFiles[2].fileTime);
    Client().Start();

    std::vector<qelsrv::SessionProgress> progress;
    const qelsrv::SessionResult result = RunUpdate("1.0", progress);
    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_EQ(result.filesServed, 3u);
    EXPECT_EQ(result.bytesServed, kBigTotal);

    // Each request: the file's size (the low byte of its high half and its
    // low half), the task's totals and what was done before it; then the
    // end of the task with everything done.
    ASSERT_EQ(progress.size(), 4u);
    uint64_t before = 0;
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(kBigFiles[i].name);
        EXPECT_EQ(progress[i].currentFile, WindowsName(kBigFiles[i].name));
        EXPECT_EQ(progress[i].currentFileSize, kBigFiles[i].size);
        EXPECT_EQ(progress[i].filesToUpdate, 3u);
        EXPECT_EQ(progress[i].bytesToUpdate, kBigTotal);
        EXPECT_EQ(progress[i].filesDone, i);
        EXPECT_EQ(progress[i].bytesDone, before);
        before += kBigFiles[i].size;
    }
    EXPECT_EQ(progress[3].filesDone, 3u);
    EXPECT_EQ(progress[3].bytesDone, kBigTotal);

    for (const BigFile& file : kBigFiles) {
        EXPECT_EQ(MarkedFileProblem(ClientGame() / file.name, file.size, file.fileTime), "");
    }
    // The log gives the halves as the signed numbers of "%d".
    const std::string done = msg::UpdateDone(3, 5, "D:\\games\\big\\");
    const std::vector<std::string> messages = MessagesOnceLogged(Client(), done);
    EXPECT_EQ(CountMessage(messages, msg::FilesToUpdate(3, 2, static_cast<int32_t>(0x80000004u))), 1);
    for (const BigFile& file : kBigFiles) {
        SCOPED_TRACE(file.name);
        const std::string downloaded =
            msg::Downloaded("D:\\games\\big\\" + WindowsName(file.name), static_cast<int32_t>(file.size >> 32),
                            static_cast<int32_t>(static_cast<uint32_t>(file.size)));
        EXPECT_EQ(CountMessage(messages, downloaded), Mode().unbuffered ? 1 : 0);
    }

    std::vector<qelsrv::SessionProgress> again;
    const qelsrv::SessionResult current = RunUpdate("2.0", again);
    ASSERT_EQ(current.outcome, qelsrv::SessionOutcome::Completed) << current.error;
    EXPECT_EQ(current.filesServed, 0u);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].bytesToUpdate, 0u);
}

QEL_E2E_IN_BOTH_WORLDS_AND_MODES(Past32BitsUpdateE2E);

// A file of 4 GiB + 3 bytes synced onto the drives D and E: E, the last,
// receives it, D gets a copy. The copy is the same in both write modes, and
// the update above receives in both.
class Past32BitsDirSyncE2E : public WorldTest { };

TEST_P(Past32BitsDirSyncE2E, AFilePast4GiBIsCopiedWholeToTheOtherDrive)
{
    const BigFile& file = kBigFiles[2];
    TempFolder server;
    PutMarkedFile(server.Path() / file.name, file.size, file.fileTime);
    ASSERT_FALSE(HasFatalFailure());
    Client().MapDrives({{'D'}, {'E'}});
    for (char letter : {'D', 'E'}) {
        fs::create_directories(Client().Drive(letter) / "games" / "sync");
    }
    Client().Start();

    const qelsrv::CheckList list = qelsrv::BuildCheckList(server.Path());
    ASSERT_TRUE(list.ok());
    qelsrv::DirectorySyncOptions options;
    options.taskId = 6;
    options.basePath = "\\games\\sync";
    qelsrv::FileTaskSpec spec;
    std::string error;
    ASSERT_TRUE(qelsrv::MakeDirectorySyncSpec(options, spec, error)) << error;
    const qelsrv::SessionResult result = qelsrv::RunFileTaskSession(Client().Endpoint(), spec, list, {});
    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_EQ(result.filesServed, 1u);

    for (char letter : {'E', 'D'}) {
        SCOPED_TRACE(letter);
        EXPECT_EQ(MarkedFileProblem(Client().Drive(letter) / "games" / "sync" / file.name, file.size, file.fileTime),
                  "");
    }
}

QEL_E2E_IN_BOTH_WORLDS(Past32BitsDirSyncE2E);

// Every fixed drive is reported with its volume's size and free space in two
// halves each; the volume of the test's drives has more than 4 GiB of both
// (the update above needs 10 GiB free).
class Past32BitsDiskInfoE2E : public WorldTest { };

TEST_P(Past32BitsDiskInfoE2E, DrivesWithMoreThan4GiBFreeAreReportedInBothHalves)
{
    Client().MapDrives({{'D'}});
    const VolumeSpace before = SpaceOf(Client().Drive('D'));
    ASSERT_GT(before.free, 5 * kGiB) << "the volume of the test's drives needs more than 5 GiB free";
    Client().Start();

    const qelsrv::DiskInfoResult result = qelsrv::RunDiskInfoTask(Client().Endpoint());
    const VolumeSpace after = SpaceOf(Client().Drive('D'));
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_EQ(result.drives.size(), 2u);
    const qelsrv::DriveSpace& drive = result.drives[1];
    EXPECT_EQ(drive.letter, 'D');
    EXPECT_EQ(drive.totalBytes, before.total);
    EXPECT_GT(drive.freeBytes, 4 * kGiB);
    // Other programs write meanwhile: within what was free just before and
    // just after the task, give or take 1 GiB.
    EXPECT_GE(drive.freeBytes + kGiB, std::min(before.free, after.free));
    EXPECT_LE(drive.freeBytes, std::max(before.free, after.free) + kGiB);
}

QEL_E2E_IN_BOTH_WORLDS(Past32BitsDiskInfoE2E);

} // namespace
} // namespace e2e
