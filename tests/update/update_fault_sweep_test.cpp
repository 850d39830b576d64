// Every file-system call of an update fails once, in turn: the N-th call
// below the game folder fails with EIO or ENOSPC, or the N-th write is cut
// short. Whatever call it hits, the game is never recorded at the new
// version unless every listed file holds the server's bytes and time, no
// file is left holding another file's bytes, and the next update without a
// fault brings the game up to date.
#include "UpdatePeer.h"
#include "UpdateTestSupport.h"

#include "FaultSweep.h"

#include <checklist.h>
#include <update_session.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace updtest;
namespace fs = std::filesystem;

namespace {

const std::string kGame = "D:\\Games\\Sweep\\";
const std::string kMarker = kGame + "tarnGameVer\\tarnGameVer.txt";

using faultsweep::Fault;

class UpdateFaultSweep : public ::testing::TestWithParam<faultsweep::WriteModeAndFault> {
protected:
    UpdateFaultSweep() : client(std::get<0>(GetParam()))
    {
        serverFolder = drive.Root().parent_path() / "server";
        ServerFile("zero.dat", "");
        ServerFile("keep.txt", Pattern(300, 1));
        ServerFile("change.txt", Pattern(700, 2));
        ServerFile("data/block.bin", Pattern(0x80000 + 3, 3));
        ServerFile("data/deep/small.bin", Pattern(10, 4));
        fs::create_directories(serverFolder / "empty");
        list = qelsrv::BuildCheckList(serverFolder);
    }

    void ServerFile(const std::string& relative, const std::string& content)
    {
        const fs::path path = serverFolder / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }

    // The client's game at version 1.0: one file current, one changed, one
    // the server no longer lists.
    void ResetClientGame()
    {
        fs::remove_all(drive.Host(kGame));
        std::ifstream keep(serverFolder / "keep.txt", std::ios::binary);
        std::ostringstream keepBytes;
        keepBytes << keep.rdbuf();
        PutFile(drive, kGame + "keep.txt", keepBytes.str(), ServerTimeOf("\\keep.txt"));
        PutFile(drive, kGame + "change.txt", Pattern(650, 9));
        PutFile(drive, kGame + "stale.txt", "not on the server");
        PutFile(drive, kMarker, "1.0");
    }

    uint64_t ServerTimeOf(const std::string& name) const
    {
        for (const QELDtFile& record : list.records)
            if (name == record.name)
                return JoinHalves(record.lastWriteTime.highDateTime, record.lastWriteTime.lowDateTime);
        return 0;
    }

    qelsrv::SessionResult Update(const std::string& version)
    {
        logBefore = drive.LogMessages().size();
        qelsrv::FileTaskSpec spec;
        std::string error;
        EXPECT_TRUE(qelsrv::MakeUpdateParams(7, version, kGame, false, spec.params, error)) << error;
        const qelsrv::Endpoint endpoint{"127.0.0.1", client.Port()};
        qelsrv::SessionResult result = qelsrv::RunFileTaskSession(endpoint, spec, list, {});
        EXPECT_TRUE(client.WaitForTasks(++tasks));
        return result;
    }

    // What differs between the client's listed files and the server's folder
    // ("" when nothing does); with `unlisted`, also a file the server does not
    // list that is still there. (Deleting unlisted files is done as well as
    // it goes: a deletion that fails does not fail the update.)
    std::string Difference(bool unlisted = true) const
    {
        for (size_t i = 0; i < list.records.size(); ++i) {
            const QELDtFile& record = list.records[i];
            const std::string local = kGame + std::string(record.name).substr(1);
            if (IsDirectoryRecord(record)) {
                if (!fs::is_directory(drive.Host(local)))
                    return local + " is no folder";
                continue;
            }
            std::ifstream in(list.hostPaths[i], std::ios::binary);
            std::ostringstream expected;
            expected << in.rdbuf();
            if (ReadFileBytes(drive, local) != expected.str())
                return local + " has other bytes";
            if (FileTimeOf(local) != JoinHalves(record.lastWriteTime.highDateTime, record.lastWriteTime.lowDateTime))
                return local + " has another time";
        }
        if (unlisted && Exists(drive, kGame + "stale.txt"))
            return "the unlisted file is still there";
        return "";
    }

    // A listed file on the disk that holds more bytes than the list gives it,
    // and the first of those bytes that is not zero ("" when none does):
    // without the system cache a file is written in whole blocks and cut to
    // its size afterwards, and when the cut fails the rest of its last block
    // stays on the disk. That rest must never be another file's bytes.
    std::string BytesOfAnotherFile() const
    {
        for (const QELDtFile& record : list.records) {
            const std::string local = kGame + std::string(record.name).substr(1);
            if (IsDirectoryRecord(record) || !Exists(drive, local))
                continue;
            const std::optional<std::string> bytes = ReadFileBytes(drive, local);
            if (!bytes || bytes->size() <= RecordSize(record))
                continue;
            const size_t leaked = bytes->find_first_not_of('\0', RecordSize(record));
            if (leaked != std::string::npos)
                return local + " holds a byte of another file at " + std::to_string(leaked);
        }
        return "";
    }

    TempDrive drive;
    UpdateClient client;
    fs::path serverFolder;
    qelsrv::CheckList list;
    int tasks = 0;
    size_t logBefore = 0; // the log's messages before the last update
};

TEST_P(UpdateFaultSweep, NoFaultLeavesTheGameMarkedCurrentWithWrongContent)
{
    ASSERT_TRUE(list.ok());
    const auto update = [&] { return Update("2.0"); };
    const auto check = [&](const qelsrv::SessionResult& result, long failCall) {
        if (failCall == 0) {
            ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
            ASSERT_EQ(Difference(), "");
            return;
        }
        const bool current = ReadFileBytes(drive, kMarker) == std::optional<std::string>("2.0");
        const std::string difference = Difference(false);
        EXPECT_EQ(BytesOfAnotherFile(), "");
        if (current) {
            EXPECT_EQ(difference, "") << "marked current with wrong content";
        }
        // The marker is written last and its write reports nothing: a
        // complete game whose marker could not be written is reported
        // complete and simply updated again next time.
        if (result.outcome == qelsrv::SessionOutcome::Completed) {
            EXPECT_EQ(difference, "") << "reported complete with wrong content";
        } else {
            EXPECT_TRUE(faultsweep::NamesAFailure(drive.LogMessages(), logBefore)) << "failed without a word";
        }
        // Without the fault the next update repairs the game.
        const qelsrv::SessionResult repair = Update(current ? "2.1" : "2.0");
        EXPECT_EQ(repair.outcome, qelsrv::SessionOutcome::Completed) << repair.error;
        EXPECT_EQ(Difference(), "");
    };
    faultsweep::SweepEveryCall(
        drive.Host(kGame).string(), std::get<1>(GetParam()), [&] { ResetClientGame(); }, update, check);
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateFaultSweep, faultsweep::EveryWriteModeAndFault(),
                         faultsweep::WriteModeAndFaultName);

} // namespace
