// The serving side of the update conversation against a scripted client on
// loopback: a Ravelnet task server in this process whose callback plays the
// client (asks for files, asks for what it must not get, ends the task or
// drops the connection) and records what it saw.
#include "TempFolder.h"

#include "checklist.h"
#include "update_session.h"

#include "ravelnet.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace qelsrv;

namespace {

// How long a script waits for the server's next bytes, and how long a test
// waits for the scripts to end: a guard against hangs, long enough for a
// loaded machine.
constexpr uint32_t kWait = 120000;

// What the scripted client saw of one task.
struct ClientView {
    RavelnetTaskHeader header{};
    TaskParams params{};
    std::string checkList;
    std::vector<std::string> filesReceived;
    int lastResult = RAVELNET_OK; // of the client's last receive
};

class ScriptedClient;
ScriptedClient* g_client = nullptr;

// A client's side of a task, as a script run on the transport's thread.
using Script = std::function<void(RavelnetConnection, ClientView&)>;

class ScriptedClient {
public:
    ScriptedClient()
    {
        RavelnetServerSettings settings{};
        std::strcpy(settings.listenAddress, "127.0.0.1");
        settings.port = 0;
        settings.one = 1;
        server_ = RavelnetOpenServer(&settings, nullptr);
        if (server_ == 0)
            throw std::runtime_error("cannot open the task server");
        g_client = this;
        RavelnetSetTaskHandler(server_, &ScriptedClient::OnTask);
    }
    ~ScriptedClient()
    {
        RavelnetCloseServer(server_);
        g_client = nullptr;
    }

    Endpoint endpoint() const { return Endpoint{"127.0.0.1", static_cast<uint16_t>(RavelnetServerPort(server_))}; }

    void Play(Script script)
    {
        std::lock_guard lock(mutex_);
        script_ = std::move(script);
    }

    // The views of every task so far, once their scripts have returned.
    std::vector<ClientView> Views()
    {
        std::unique_lock lock(mutex_);
        EXPECT_TRUE(done_.wait_for(lock, std::chrono::milliseconds(kWait), [&] { return running_ == 0; }))
            << "a script of the client did not end";
        return views_;
    }

private:
    static uint32_t OnTask(RavelnetConnection connection, uint32_t, const RavelnetTaskHeader* header, uint32_t)
    {
        ScriptedClient& self = *g_client;
        Script script;
        {
            std::lock_guard lock(self.mutex_);
            script = self.script_;
            ++self.running_;
        }
        ClientView view;
        view.header = *header;
        if (script)
            script(connection, view);
        std::lock_guard lock(self.mutex_);
        self.views_.push_back(std::move(view));
        --self.running_;
        self.done_.notify_all();
        return 1;
    }

    RavelnetServer server_ = 0;
    std::mutex mutex_;
    std::condition_variable done_;
    Script script_;
    std::vector<ClientView> views_;
    int running_ = 0;
};

// ---- Steps the scripts are made of -------------------------------------

bool ReceiveParams(RavelnetConnection connection, ClientView& view)
{
    view.lastResult = RavelnetRecv(connection, &view.params, sizeof view.params, kWait);
    return view.lastResult == RAVELNET_OK;
}

bool Reply(RavelnetConnection connection, uint32_t code)
{
    TaskReply reply = MakeTaskReply(code);
    return RavelnetReply(connection, &reply) == RAVELNET_OK;
}

bool ReceiveCheckList(RavelnetConnection connection, ClientView& view)
{
    view.checkList.assign(view.params.checkListSize, '\0');
    view.lastResult = RavelnetRecv(connection, view.checkList.data(), view.params.checkListSize, kWait);
    return view.lastResult == RAVELNET_OK;
}

// The client's one request record of the task, as the client core keeps it.
struct Progress {
    FileRequest request{};

    void Totals(uint32_t files, uint64_t bytes)
    {
        request.filesToUpdate = files;
        request.bytesToUpdateHigh = HighHalf(bytes);
        request.bytesToUpdateLow = LowHalf(bytes);
    }
};

// Asks for `name` with `size` and receives exactly `size` bytes (into the
// view when `keep`), then counts the file as the client does.
bool Fetch(RavelnetConnection connection, ClientView& view, Progress& progress, const std::string& name, uint64_t size,
           bool keep = true)
{
    FileRequest& request = progress.request;
    request.command = kFileRequestSendFile;
    std::memset(request.fileName, 0, sizeof request.fileName);
    std::memcpy(request.fileName, name.data(), std::min(name.size(), sizeof request.fileName));
    request.fileSizeHighByte = static_cast<uint8_t>(size >> 32);
    request.fileSizeLow = LowHalf(size);
    if (RavelnetSend(connection, &request, sizeof request) != RAVELNET_OK)
        return false;
    std::string content;
    std::vector<char> chunk(8 << 20);
    for (uint64_t left = size; left > 0;) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(left, chunk.size()));
        view.lastResult = RavelnetRecv(connection, chunk.data(), n, kWait);
        if (view.lastResult != RAVELNET_OK)
            return false;
        if (keep)
            content.append(chunk.data(), n);
        left -= n;
    }
    view.filesReceived.push_back(keep ? content : std::string());
    uint64_t done = BytesDone(request) + size;
    request.bytesDoneHigh = HighHalf(done);
    request.bytesDoneLow = LowHalf(done);
    request.filesDone += 1;
    return true;
}

void EndTask(RavelnetConnection connection, Progress& progress)
{
    progress.request.command = kFileRequestEndOfTask;
    RavelnetSend(connection, &progress.request, sizeof progress.request);
}

// After the server refused a request: what the client's next receive gets.
void ObserveEnd(RavelnetConnection connection, ClientView& view)
{
    char byte = 0;
    view.lastResult = RavelnetRecv(connection, &byte, 1, kWait);
}

// ---- Fixture -------------------------------------------------------------

std::string Pattern(size_t size, char seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(seed + i * 7 + (i >> 9));
    return bytes;
}

void WriteFile(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

class UpdateSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteFile(game_.path() / "a.txt", aText_);
        WriteFile(game_.path() / "bin" / "game.exe", gameExe_);
        WriteFile(game_.path() / "empty.dat", "");
        list_ = BuildCheckList(game_.path());
        ASSERT_TRUE(list_.ok());
        ASSERT_EQ(list_.records.size(), 4u);
        std::string error;
        ASSERT_TRUE(MakeUpdateParams(42, "2.0", "D:\\Games\\X\\", false, spec_.params, error));
    }

    SessionResult Run(const ProgressCallback& progress = {})
    {
        return RunFileTaskSession(client_.endpoint(), spec_, list_, progress, options_);
    }

    // A client that agrees, takes the list, then runs `requests`.
    void PlayAccepting(std::function<void(RavelnetConnection, ClientView&, Progress&)> requests)
    {
        client_.Play([requests](RavelnetConnection connection, ClientView& view) {
            if (!ReceiveParams(connection, view) || !Reply(connection, 1) || !ReceiveCheckList(connection, view))
                return;
            Progress progress;
            requests(connection, view, progress);
        });
    }

    ClientView OnlyView()
    {
        std::vector<ClientView> views = client_.Views();
        EXPECT_EQ(views.size(), 1u);
        return views.empty() ? ClientView{} : views.front();
    }

    TempFolder game_{"qelsrv-session"};
    const std::string aText_ = Pattern(10, 'a');
    const std::string gameExe_ = Pattern(0x80001, 'g');
    CheckList list_;
    FileTaskSpec spec_;
    SessionOptions options_{10000, kWait};
    ScriptedClient client_;
};

} // namespace

TEST_F(UpdateSession, SendsTheTaskTheListAndExactlyTheFilesAsked)
{
    PlayAccepting([&](RavelnetConnection connection, ClientView& view, Progress& progress) {
        progress.Totals(2, 10 + 0x80001);
        if (Fetch(connection, view, progress, "\\a.txt", 10) &&
            Fetch(connection, view, progress, "\\bin\\game.exe", 0x80001))
            EndTask(connection, progress);
    });
    std::vector<SessionProgress> seen;
    SessionResult result = Run([&](const SessionProgress& p) { seen.push_back(p); });

    EXPECT_EQ(result.outcome, SessionOutcome::Completed) << result.error;
    EXPECT_EQ(result.replyCode, 1u);
    EXPECT_EQ(result.filesDone, 2u);
    EXPECT_EQ(result.filesServed, 2u);
    EXPECT_EQ(result.bytesServed, 10u + 0x80001u);

    ClientView view = OnlyView();
    EXPECT_EQ(view.header.type, 20000u);
    EXPECT_EQ(view.header.magic, RAVELNET_MAGIC);
    EXPECT_EQ(view.header.payloadLength, 668u);
    EXPECT_EQ(view.params.taskId, 42u);
    EXPECT_STREQ(view.params.gameVersion, "2.0");
    EXPECT_STREQ(view.params.gamePath, "D:\\Games\\X\\");
    EXPECT_EQ(view.params.skipLocalCompare, 0u);
    EXPECT_EQ(view.params.checkListSize, 4u * 280u);
    EXPECT_EQ(view.checkList, SerializeCheckList(list_));
    ASSERT_EQ(view.filesReceived.size(), 2u);
    EXPECT_EQ(view.filesReceived[0], aText_);
    EXPECT_EQ(view.filesReceived[1], gameExe_);

    // One report per request, from the request's counters, then the end.
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].currentFile, "\\a.txt");
    EXPECT_EQ(seen[0].filesDone, 0u);
    EXPECT_EQ(seen[0].filesToUpdate, 2u);
    EXPECT_EQ(seen[0].bytesDone, 0u);
    EXPECT_EQ(seen[1].currentFile, "\\bin\\game.exe");
    EXPECT_EQ(seen[1].currentFileSize, 0x80001u);
    EXPECT_EQ(seen[1].filesDone, 1u);
    EXPECT_EQ(seen[1].bytesDone, 10u);
    EXPECT_EQ(seen[2].currentFile, "");
    EXPECT_EQ(seen[2].filesDone, 2u);
    EXPECT_EQ(seen[2].bytesDone, 10u + 0x80001u);
    EXPECT_EQ(seen[2].bytesToUpdate, 10u + 0x80001u);
}

TEST_F(UpdateSession, ProgressCountersBeyondFourGiBComeFromBothHalves)
{
    PlayAccepting([&](RavelnetConnection connection, ClientView& view, Progress& progress) {
        progress.Totals(3, (6ull << 30) + 10);
        progress.request.filesDone = 1;
        progress.request.bytesDoneHigh = 1; // 5 GiB done by an earlier file
        progress.request.bytesDoneLow = 1u << 30;
        if (Fetch(connection, view, progress, "\\a.txt", 10))
            EndTask(connection, progress);
    });
    std::vector<SessionProgress> seen;
    SessionResult result = Run([&](const SessionProgress& p) { seen.push_back(p); });
    EXPECT_EQ(result.outcome, SessionOutcome::Completed) << result.error;
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].bytesDone, 5ull << 30);
    EXPECT_EQ(seen[0].bytesToUpdate, (6ull << 30) + 10);
    EXPECT_EQ(seen[1].bytesDone, (5ull << 30) + 10);
    EXPECT_EQ(seen[1].filesDone, 2u);
}

TEST_F(UpdateSession, FullUpdateAndAnEmptyList)
{
    std::string error;
    ASSERT_TRUE(MakeUpdateParams(7, "3", "D:\\Games\\X\\", true, spec_.params, error));
    list_ = BuildCheckList(game_.path() / "bin" / "game.exe"); // not a folder
    ASSERT_FALSE(list_.ok());
    TempFolder empty{"qelsrv-session"};
    list_ = BuildCheckList(empty.path());
    ASSERT_TRUE(list_.ok());
    PlayAccepting(
        [](RavelnetConnection connection, ClientView&, Progress& progress) { EndTask(connection, progress); });
    SessionResult result = Run();
    EXPECT_EQ(result.outcome, SessionOutcome::Completed) << result.error;
    EXPECT_EQ(result.filesDone, 0u);
    ClientView view = OnlyView();
    EXPECT_EQ(view.params.skipLocalCompare, 1u);
    EXPECT_EQ(view.params.checkListSize, 0u);
    EXPECT_TRUE(view.checkList.empty());
}

TEST_F(UpdateSession, DeclinedWhenTheClientIsCurrent)
{
    client_.Play([](RavelnetConnection connection, ClientView& view) {
        if (ReceiveParams(connection, view) && Reply(connection, 110020))
            ObserveEnd(connection, view); // no check list may follow
    });
    bool reported = false;
    SessionResult result = Run([&](const SessionProgress&) { reported = true; });
    EXPECT_EQ(result.outcome, SessionOutcome::Declined) << result.error;
    EXPECT_EQ(result.replyCode, 110020u);
    EXPECT_EQ(DescribeOutcome(spec_, result), "already current");
    EXPECT_FALSE(reported);
    EXPECT_EQ(OnlyView().lastResult, RAVELNET_E_CLOSED);
}

TEST_F(UpdateSession, TheDeclineCodeBelongsToTheTask)
{
    // The directory sync task declines with 110030; for it, 110020 is a failure.
    spec_.taskType = kTaskDirectorySync;
    spec_.declinedCode = kResultDirectoryNotFound;
    spec_.declinedText = "folder not on the client";
    client_.Play([](RavelnetConnection connection, ClientView& view) {
        if (ReceiveParams(connection, view))
            Reply(connection, 110030);
    });
    SessionResult result = Run();
    EXPECT_EQ(result.outcome, SessionOutcome::Declined);
    EXPECT_EQ(DescribeOutcome(spec_, result), "folder not on the client");
    EXPECT_EQ(OnlyView().header.type, 20003u);

    client_.Play([](RavelnetConnection connection, ClientView& view) {
        if (ReceiveParams(connection, view))
            Reply(connection, 110020);
    });
    result = Run();
    EXPECT_EQ(result.outcome, SessionOutcome::Failed);
    EXPECT_NE(result.error.find("110020"), std::string::npos) << result.error;
}

TEST_F(UpdateSession, RequestsTheServerMustRefuseEndTheTask)
{
    struct Case {
        const char* name;
        uint64_t size;
        const char* errorPart;
    };
    const Case cases[] = {
        {"\\unlisted.txt", 10, "not in the check list"},
        {"\\..\\..\\etc\\passwd", 10, "outside the game folder"},
        {"\\bin\\..\\a.txt", 10, "outside the game folder"},
        {"\\a.txt", 11, "the check list gives 10"},
        {"\\bin\\", 1, "a folder"},
        {"\\a.txt", 10, "a second time"}, // each file is read once per client
    };
    for (const Case& c : cases) {
        std::string name = c.name;
        uint64_t size = c.size;
        PlayAccepting([&, name, size](RavelnetConnection connection, ClientView& view, Progress& progress) {
            progress.Totals(2, 20);
            if (Fetch(connection, view, progress, "\\a.txt", 10) && Fetch(connection, view, progress, name, size))
                ObserveEnd(connection, view);
        });
        SessionResult result = Run();
        EXPECT_EQ(result.outcome, SessionOutcome::Failed) << c.name;
        EXPECT_NE(result.error.find(c.errorPart), std::string::npos) << c.name << ": " << result.error;
        EXPECT_EQ(result.filesServed, 1u) << c.name;
        std::vector<ClientView> views = client_.Views();
        ASSERT_FALSE(views.empty());
        // The client learns of it at once: its receive fails, nothing is served.
        EXPECT_NE(views.back().lastResult, RAVELNET_OK) << c.name;
        EXPECT_NE(views.back().lastResult, RAVELNET_E_TIMEOUT) << c.name;
        EXPECT_EQ(views.back().filesReceived.size(), 1u) << c.name;
    }
}

TEST_F(UpdateSession, AFileChangedSinceTheListIsNotServed)
{
    PlayAccepting([&](RavelnetConnection connection, ClientView& view, Progress& progress) {
        if (Fetch(connection, view, progress, "\\a.txt", 10))
            EndTask(connection, progress);
    });
    // Same size, one 100-ns unit later: the client would take it for current.
    timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 100}};
    ASSERT_EQ(utimensat(AT_FDCWD, (game_.path() / "a.txt").c_str(), times, 0), 0);
    times[1].tv_nsec = 200;
    list_ = BuildCheckList(game_.path());
    ASSERT_EQ(utimensat(AT_FDCWD, (game_.path() / "a.txt").c_str(), times, 0), 0);

    SessionResult result = Run();
    EXPECT_EQ(result.outcome, SessionOutcome::Failed);
    EXPECT_NE(result.error.find("changed since the check list was built"), std::string::npos) << result.error;
    EXPECT_TRUE(OnlyView().filesReceived.empty());
}

TEST_F(UpdateSession, APeerThatLeavesBeforeTheEndFailsTheTask)
{
    PlayAccepting([&](RavelnetConnection connection, ClientView& view, Progress& progress) {
        Fetch(connection, view, progress, "\\a.txt", 10); // then returns: connection closed
    });
    SessionResult result = Run();
    EXPECT_EQ(result.outcome, SessionOutcome::Failed);
    EXPECT_NE(result.error.find("before ending the task"), std::string::npos) << result.error;
    EXPECT_EQ(result.filesServed, 1u);

    // Leaving before the reply fails too.
    client_.Play([](RavelnetConnection connection, ClientView& view) { ReceiveParams(connection, view); });
    result = Run();
    EXPECT_EQ(result.outcome, SessionOutcome::Failed);
    EXPECT_NE(result.error.find("receiving the task reply: the client closed the connection"), std::string::npos)
        << result.error;
}

TEST_F(UpdateSession, UnknownCommandsAndRepliesFail)
{
    PlayAccepting([](RavelnetConnection connection, ClientView&, Progress& progress) {
        progress.request.command = 7;
        RavelnetSend(connection, &progress.request, sizeof progress.request);
    });
    SessionResult result = Run();
    EXPECT_EQ(result.outcome, SessionOutcome::Failed);
    EXPECT_NE(result.error.find("unknown command 7"), std::string::npos) << result.error;

    client_.Play([](RavelnetConnection connection, ClientView& view) {
        if (ReceiveParams(connection, view))
            Reply(connection, 5);
    });
    result = Run();
    EXPECT_EQ(result.outcome, SessionOutcome::Failed);
    EXPECT_NE(result.error.find("code 5"), std::string::npos) << result.error;
}

TEST_F(UpdateSession, NoClientListening)
{
    Endpoint nobody = client_.endpoint();
    {
        // A port that was just free: nothing listens on it any more.
        RavelnetServerSettings settings{};
        std::strcpy(settings.listenAddress, "127.0.0.1");
        settings.one = 1;
        RavelnetServer other = RavelnetOpenServer(&settings, nullptr);
        ASSERT_NE(other, 0u);
        nobody.port = static_cast<uint16_t>(RavelnetServerPort(other));
        RavelnetCloseServer(other);
    }
    SessionResult result = RunFileTaskSession(nobody, spec_, list_, {}, options_);
    EXPECT_EQ(result.outcome, SessionOutcome::Failed);
    EXPECT_NE(result.error.find("cannot connect to 127.0.0.1:" + std::to_string(nobody.port)), std::string::npos)
        << result.error;
}

TEST_F(UpdateSession, ClientsRunConcurrentlyOnOneList)
{
    PlayAccepting([&](RavelnetConnection connection, ClientView& view, Progress& progress) {
        if (Fetch(connection, view, progress, "\\bin\\game.exe", 0x80001) &&
            Fetch(connection, view, progress, "\\a.txt", 10))
            EndTask(connection, progress);
    });
    std::vector<std::future<SessionResult>> running;
    for (int i = 0; i < 3; ++i)
        running.push_back(std::async(std::launch::async, [&] { return Run(); }));
    for (auto& session : running) {
        SessionResult result = session.get();
        EXPECT_EQ(result.outcome, SessionOutcome::Completed) << result.error;
        EXPECT_EQ(result.filesDone, 2u);
    }
    std::vector<ClientView> views = client_.Views();
    ASSERT_EQ(views.size(), 3u);
    for (const ClientView& view : views) {
        ASSERT_EQ(view.filesReceived.size(), 2u);
        EXPECT_EQ(view.filesReceived[0], gameExe_);
    }
}

TEST_F(UpdateSession, AFileBeyondFourGiBIsServedWhole)
{
    const uint64_t size = (4ull << 30) + 3; // sparse: no disk used
    {
        std::ofstream touch(game_.path() / "big.pak");
    }
    fs::resize_file(game_.path() / "big.pak", size);
    list_ = BuildCheckList(game_.path());
    ASSERT_TRUE(list_.ok());
    PlayAccepting([&](RavelnetConnection connection, ClientView& view, Progress& progress) {
        if (Fetch(connection, view, progress, "\\big.pak", size, false))
            EndTask(connection, progress);
    });
    SessionResult result = Run();
    EXPECT_EQ(result.outcome, SessionOutcome::Completed) << result.error;
    EXPECT_EQ(result.bytesServed, size);
    EXPECT_EQ(OnlyView().filesReceived.size(), 1u);
}
