// The game version marker "tarnGameVer\tarnGameVer.txt", on a drive mapped to
// a temporary folder.
#include "update/VersionMarker.h"

#include "StatusText.h"
#include "UpdateTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/resource.h>

using namespace qek;

using namespace updtest;

namespace {

// The marker written as the update writes it: through the game's chain of
// held folders.
Status WriteVersion(const std::string& game, const char* version)
{
    FolderChain chain(game);
    return WriteGameVersion(chain, version);
}

const std::string kGame = "D:\\Games\\X\\";
const std::string kMarker = "D:\\Games\\X\\tarnGameVer\\tarnGameVer.txt";

std::string ReadVersion(const std::string& game = kGame, size_t size = 128)
{
    std::string buffer(size, 'x');
    ReadGameVersion(game.c_str(), buffer.data(), size);
    EXPECT_EQ(buffer.back(), '\0');
    return buffer.substr(0, buffer.find('\0'));
}

class VersionMarker : public ::testing::Test {
protected:
    TempDrive drive;
};

} // namespace

TEST_F(VersionMarker, MissingMarkerOrDirectoryReadsEmpty)
{
    EXPECT_EQ(ReadVersion(), "");
    std::filesystem::create_directories(drive.Host(kGame + "tarnGameVer"));
    EXPECT_EQ(ReadVersion(), "");
}

TEST_F(VersionMarker, ShorterThanTheBufferIsReadAndLongerReadsEmpty)
{
    PutFile(drive, kMarker, std::string(127, '7'));
    EXPECT_EQ(ReadVersion(), std::string(127, '7'));
    PutFile(drive, kMarker, std::string(128, '8'));
    EXPECT_EQ(ReadVersion(), "");
    PutFile(drive, kMarker, std::string(5000, '9'));
    EXPECT_EQ(ReadVersion(), "");
    // The whole buffer is cleared first, whatever it held.
    std::string buffer(16, 'x');
    PutFile(drive, kMarker, "1.2");
    ReadGameVersion(kGame.c_str(), buffer.data(), buffer.size());
    EXPECT_EQ(buffer, std::string("1.2") + std::string(13, '\0'));
}

TEST_F(VersionMarker, WrittenMarkerHoldsExactlyTheVersion)
{
    std::filesystem::create_directories(drive.Host(kGame + "tarnGameVer"));
    PutFile(drive, kMarker, "old version that is longer");
    EXPECT_EQ(StatusText(WriteVersion(kGame, "2.0.1")), "ok");
    EXPECT_EQ(ReadFileBytes(drive, kMarker), "2.0.1");
    EXPECT_EQ(ReadVersion(), "2.0.1");

    EXPECT_EQ(StatusText(WriteVersion(kGame, "")), "ok");
    EXPECT_EQ(ReadFileBytes(drive, kMarker), "");
    EXPECT_EQ(ReadVersion(), "");
}

TEST_F(VersionMarker, MarkerEditedToEndInALineEndNoLongerEqualsTheVersion)
{
    PutFile(drive, kMarker, "2.0.1\r\n");
    EXPECT_EQ(ReadVersion(), "2.0.1\r\n");
}

TEST_F(VersionMarker, FoundThroughTheLowerCaseMarkerDirectory)
{
    // The update task creates "tarngamever"; the marker is named with capitals.
    std::filesystem::create_directories(drive.Host(kGame + "tarngamever"));
    EXPECT_EQ(StatusText(WriteVersion(kGame, "3")), "ok");
    EXPECT_TRUE(std::filesystem::exists(drive.Host(kGame + "tarngamever/tarnGameVer.txt")));
    EXPECT_EQ(ReadVersion(), "3");
}

TEST_F(VersionMarker, ReadOnlyMarkerReadsEmptyAndIsNotReplaced)
{
    PutFile(drive, kMarker, "1.0");
    ASSERT_TRUE(SetFileAttributesA(kMarker.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(ReadVersion(), "");
    EXPECT_EQ(StatusText(WriteVersion(kGame, "2.0")), FailedWith(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadFileBytes(drive, kMarker), "1.0");
    SetFileAttributesA(kMarker.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(VersionMarker, MarkerPathBeyondItsBufferIsNeitherReadNorWritten)
{
    std::string longGame = "D:\\";
    for (int i = 0; i < 5; ++i) {
        longGame += std::string(97, 'g') + "\\";
    }
    ASSERT_EQ(longGame.size(), 493u); // with the marker's 27 characters, beyond 511
    std::filesystem::create_directories(drive.Host(longGame + "tarnGameVer"));
    PutFile(drive, longGame + kMarker.substr(kGame.size()), "1.0");
    EXPECT_EQ(ReadVersion(longGame), "");
    EXPECT_EQ(StatusText(WriteVersion(longGame, "2.0")), FailedWith(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(ReadFileBytes(drive, longGame + kMarker.substr(kGame.size())), "1.0");
}

TEST_F(VersionMarker, MarkerWhoseWriteFallsShortIsRemoved)
{
    std::filesystem::create_directories(drive.Host(kGame + "tarnGameVer"));
    PutFile(drive, kMarker, "1.0");
    // A file system that takes only 4 bytes per file: the marker of a longer
    // version must not be left holding its first 4 characters.
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = previous;
    small.rlim_cur = 4;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const Status written = WriteVersion(kGame, "2.0.12345");
    setrlimit(RLIMIT_FSIZE, &previous);
    EXPECT_EQ(StatusText(written), FailedWith(ERROR_DISK_FULL));
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(Exists(drive, kMarker));
    EXPECT_EQ(ReadVersion(), "");
}
