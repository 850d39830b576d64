// Whole updates between the real sending side (check list of a server folder,
// the serving session) and the client core over loopback, in both write
// modes: the client's game folder ends up with the server's bytes and times.
#include "UpdatePeer.h"
#include "UpdateTestSupport.h"
#include "WriteModes.h"

#include <checklist.h>
#include <update_session.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace updtest;
namespace fs = std::filesystem;

namespace {

const std::string kGame = "D:\\Games\\Full\\";

class FullUpdate : public ::testing::TestWithParam<qek::WriteMode> {
protected:
    FullUpdate() : client(GetParam()) { serverFolder = drive.Root().parent_path() / "server"; }

    void ServerFile(const std::string& relative, const std::string& content)
    {
        const fs::path path = serverFolder / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }

    qelsrv::SessionResult Update(const std::string& version)
    {
        const qelsrv::CheckList list = qelsrv::BuildCheckList(serverFolder);
        EXPECT_TRUE(list.ok());
        qelsrv::FileTaskSpec spec;
        std::string error;
        EXPECT_TRUE(qelsrv::MakeUpdateParams(7, version, kGame, false, spec.params, error)) << error;
        const qelsrv::Endpoint endpoint{"127.0.0.1", client.Port()};
        const qelsrv::SessionResult result =
            qelsrv::RunFileTaskSession(endpoint, spec, list, [](const qelsrv::SessionProgress&) {});
        EXPECT_TRUE(client.WaitForTasks(++tasks));
        return result;
    }

    // Every listed file is on the client with the server's bytes and time.
    void ExpectClientHoldsServerFolder()
    {
        const qelsrv::CheckList list = qelsrv::BuildCheckList(serverFolder);
        for (size_t i = 0; i < list.records.size(); ++i) {
            const QELDtFile& record = list.records[i];
            SCOPED_TRACE(record.name);
            const std::string local = kGame + std::string(record.name).substr(1);
            if (IsDirectoryRecord(record)) {
                EXPECT_TRUE(fs::is_directory(drive.Host(local)));
                continue;
            }
            std::ifstream in(list.hostPaths[i], std::ios::binary);
            std::ostringstream expected;
            expected << in.rdbuf();
            EXPECT_EQ(ReadFileBytes(drive, local), expected.str());
            EXPECT_EQ(FileTimeOf(local),
                      JoinHalves(record.lastWriteTime.highDateTime, record.lastWriteTime.lowDateTime));
        }
    }

    TempDrive drive;
    UpdateClient client;
    fs::path serverFolder;
    int tasks = 0;
};

} // namespace

TEST_P(FullUpdate, BringsTheGameToTheServersContentThenDeclinesTheSameVersion)
{
    ServerFile("zero.dat", "");
    ServerFile("one.dat", Pattern(1, 1));
    ServerFile("B.txt", Pattern(100, 2));
    ServerFile("a.txt", Pattern(200, 3));
    ServerFile("data/block.bin", Pattern(0x80000, 4));
    ServerFile("data/block1.bin", Pattern(0x80001, 5));
    ServerFile("data/deep/er/big.bin", Pattern(3 * 1024 * 1024 + 7, 6));
    fs::create_directories(serverFolder / "empty");
    PutFile(drive, kGame + "stale.txt", "not on the server");

    const qelsrv::SessionResult first = Update("1.0");
    EXPECT_EQ(first.outcome, qelsrv::SessionOutcome::Completed) << first.error;
    EXPECT_EQ(first.filesDone, 7u);
    EXPECT_EQ(first.filesServed, 6u); // the empty file needs no transfer
    ExpectClientHoldsServerFolder();
    EXPECT_FALSE(Exists(drive, kGame + "stale.txt"));
    EXPECT_EQ(ReadFileBytes(drive, kGame + "tarnGameVer\\tarnGameVer.txt"), "1.0");

    const qelsrv::SessionResult again = Update("1.0");
    EXPECT_EQ(again.outcome, qelsrv::SessionOutcome::Declined) << again.error;
    EXPECT_EQ(again.replyCode, 110020u);

    // A new version in which one file changed: only that file travels.
    ServerFile("a.txt", Pattern(250, 9));
    const qelsrv::SessionResult next = Update("1.1");
    EXPECT_EQ(next.outcome, qelsrv::SessionOutcome::Completed) << next.error;
    EXPECT_EQ(next.filesServed, 1u);
    EXPECT_EQ(next.bytesServed, 250u);
    ExpectClientHoldsServerFolder();
    EXPECT_EQ(ReadFileBytes(drive, kGame + "tarnGameVer\\tarnGameVer.txt"), "1.1");
}

INSTANTIATE_TEST_SUITE_P(WriteModes, FullUpdate, qeltest::EveryWriteMode(),
                         [](const auto& info) { return qeltest::WriteModeName(info); });
