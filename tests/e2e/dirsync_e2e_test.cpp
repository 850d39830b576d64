// The directory sync against the installed client, in both worlds, with the
// server's side from the sending library: the directory found on several
// drives is brought to the server's content with one transfer per file (the
// last drive receives, the others get copies), the check list is kept in
// ..\Data\ beside the host, and a directory on no drive is answered 110030.
#include "E2ESupport.h"

#include "checklist.h"
#include "dirsync_session.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

constexpr uint64_t kOneSecond = 10000000; // FILETIME units

class DirSyncE2E : public WorldTest {
protected:
    // The server's folder: three files, one in a subfolder, with times that
    // carry 100-ns digits.
    void MakeServerFolder()
    {
        PutFile(server_.Path() / "a.txt", "alpha", kSomeTime + 1 * kOneSecond + 11);
        PutFile(server_.Path() / "sub" / "b.bin", Pattern(0x80001, 2), kSomeTime + 2 * kOneSecond + 22);
        PutFile(server_.Path() / "c.dat", Pattern(3000, 3), kSomeTime + 3 * kOneSecond + 33);
    }

    qelsrv::SessionResult RunSync(const std::string& basePath, std::optional<char> excludeDrive = std::nullopt)
    {
        const qelsrv::CheckList list = qelsrv::BuildCheckList(server_.Path());
        EXPECT_TRUE(list.ok());
        qelsrv::DirectorySyncOptions options;
        options.taskId = 31;
        options.basePath = basePath;
        options.excludeDrive = excludeDrive;
        qelsrv::FileTaskSpec spec;
        std::string error;
        EXPECT_TRUE(qelsrv::MakeDirectorySyncSpec(options, spec, error)) << error;
        return qelsrv::RunFileTaskSession(Client().Endpoint(), spec, list, {});
    }

    fs::path SyncDir(char letter) { return Client().Drive(letter) / "games" / "sync"; }

    std::string ServedCheckList() { return qelsrv::SerializeCheckList(qelsrv::BuildCheckList(server_.Path())); }

    TempFolder server_;
};

// The directory on D, E and G (not on F): G, the last, receives every file;
// D and E get copies with the same bytes and times; a local file the list
// does not name stays everywhere. The three forms of the base path find the
// same directories, and then everything is current.
TEST_P(DirSyncE2E, BringsTheDirectoryOnEveryDriveToTheServersContent)
{
    MakeServerFolder();
    Client().MapDrives({{'D'}, {'E'}, {'F'}, {'G'}});
    for (char letter : {'D', 'E', 'G'}) {
        PutFile(SyncDir(letter) / "mine.txt", "the client's own");
    }
    PutFile(SyncDir('E') / "c.dat", "an old version");
    Client().Start();

    const qelsrv::SessionResult result = RunSync("\\games\\sync");
    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_EQ(result.replyCode, 1u);
    EXPECT_EQ(result.filesServed, 3u); // one transfer per file, not per drive
    EXPECT_EQ(result.filesDone, 3u);

    const std::map<std::string, FileState> served = FilesBelow(server_.Path());
    for (char letter : {'D', 'E', 'G'}) {
        SCOPED_TRACE(letter);
        std::map<std::string, FileState> files = FilesBelow(SyncDir(letter));
        EXPECT_EQ(files.erase("mine.txt"), 1u);
        EXPECT_EQ(files, served);
    }
    EXPECT_FALSE(fs::exists(Client().Drive('F') / "games"));
    EXPECT_EQ(ReadFileBytes(Client().DataFile()), ServedCheckList());
    const std::string done = msg::SyncDone(3, 31, "g:\\games\\sync\\");
    EXPECT_EQ(CountMessage(MessagesOnceLogged(Client(), done), done), 1);

    for (const char* basePath : {"games\\sync", "q:\\games\\sync\\", "\\games\\sync\\"}) {
        SCOPED_TRACE(basePath);
        const qelsrv::SessionResult again = RunSync(basePath);
        EXPECT_EQ(again.outcome, qelsrv::SessionOutcome::Completed) << again.error;
        EXPECT_EQ(again.filesServed, 0u);
    }
    const std::string nothingToDo = msg::SyncDone(0, 31, "g:\\games\\sync\\");
    EXPECT_EQ(CountMessage(MessagesOnceLogged(Client(), nothingToDo, 3), nothingToDo), 3);
}

// Leaving out G (named in upper case) makes E the receiving drive; a
// directory on no drive is answered 110030 and leaves the stored check list
// of the last task as it was. Unbuffered writes here.
TEST_P(DirSyncE2E, LeavesOutTheExcludedDriveAndAnswersWhenTheDirectoryIsNowhere)
{
    MakeServerFolder();
    Client().MapDrives({{'D'}, {'E'}, {'G'}});
    Client().SetWriteModeValue("1");
    for (char letter : {'D', 'E', 'G'}) {
        fs::create_directories(SyncDir(letter));
    }
    Client().Start();

    const qelsrv::SessionResult result = RunSync("\\games\\sync", 'G');
    ASSERT_EQ(result.outcome, qelsrv::SessionOutcome::Completed) << result.error;
    EXPECT_EQ(result.filesServed, 3u);
    EXPECT_EQ(FilesBelow(SyncDir('E')), FilesBelow(server_.Path()));
    EXPECT_EQ(FilesBelow(SyncDir('D')), FilesBelow(server_.Path()));
    EXPECT_TRUE(FilesBelow(SyncDir('G')).empty());
    const std::string done = msg::SyncDone(3, 31, "e:\\games\\sync\\");
    EXPECT_EQ(CountMessage(MessagesOnceLogged(Client(), done), done), 1);

    const std::string stored = ReadFileBytes(Client().DataFile()).value_or("");
    PutFile(server_.Path() / "new.txt", "would change the list");
    const qelsrv::SessionResult nowhere = RunSync("\\games\\missing");
    EXPECT_EQ(nowhere.outcome, qelsrv::SessionOutcome::Declined) << nowhere.error;
    EXPECT_EQ(nowhere.replyCode, 110030u);
    EXPECT_EQ(ReadFileBytes(Client().DataFile()), stored);
    // The base path as the server sent it, less one trailing backslash.
    const std::string missing = msg::SyncRootMissing("\\games\\missing");
    EXPECT_EQ(CountMessage(MessagesOnceLogged(Client(), missing), missing), 1);
}

QEL_E2E_IN_BOTH_WORLDS(DirSyncE2E);

} // namespace
} // namespace e2e
