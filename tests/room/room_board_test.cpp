// The room's board: its lines on their own (a height that does not grow with
// the clients, the slowest and the last failed clients, the time left), and
// qelsrv updating 64 client hosts on loopback with its output on a
// pseudo-terminal: a board of constant height, then the summary, and a
// --failed list whose rerun touches only the clients in it.
#include "room_board.h"
#include "ChildProcess.h"
#include "ClientWorld.h"
#include "E2ESupport.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qelsrv::BoardClient;
using qelsrv::BoardRate;
using qelsrv::BoardState;
using qelsrv::SessionProgress;
using Clock = std::chrono::steady_clock;

namespace {

// ---- The lines ----------------------------------------------------------------

const Clock::time_point kBegun{};

BoardClient Client(const std::string& label, BoardState state)
{
    BoardClient client;
    client.label = label;
    client.state = state;
    return client;
}

// Running since `startedAt` seconds after the beginning, `done` of `total` bytes fetched.
BoardClient Running(const std::string& label, int startedAt, uint64_t done, uint64_t total)
{
    BoardClient client = Client(label, BoardState::Running);
    client.started = kBegun + std::chrono::seconds(startedAt);
    SessionProgress progress;
    progress.filesDone = 1;
    progress.filesToUpdate = 4;
    progress.bytesDone = done;
    progress.bytesToUpdate = total;
    progress.currentFile = "\\data\\" + label + ".pak";
    client.progress = progress;
    client.bytesToUpdate = total;
    client.totalKnown = true;
    return client;
}

BoardClient Ended(const std::string& label, BoardState state, int endedAt, uint64_t fetched = 0)
{
    BoardClient client = Client(label, state);
    client.ended = kBegun + std::chrono::seconds(endedAt);
    client.bytesToUpdate = fetched;
    client.totalKnown = true;
    client.error = state == BoardState::Unreachable ? "cannot connect" : "the client ended the connection";
    return client;
}

TEST(RoomBoardLines, HeightDependsOnNothingButAFewClientLines)
{
    for (size_t count : {1u, 3u, 6u, 7u, 64u, 300u}) {
        SCOPED_TRACE(count);
        std::vector<BoardClient> clients;
        for (size_t i = 0; i < count; ++i) {
            const std::string label = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
            clients.push_back(i % 3 == 0   ? Running(label, 0, i * 1000, 1'000'000)
                              : i % 3 == 1 ? Ended(label, BoardState::Failed, static_cast<int>(i))
                                           : Client(label, BoardState::Waiting));
        }
        const auto lines = qelsrv::RenderRoomBoard(clients, {}, kBegun, kBegun + 10s, 79);
        EXPECT_EQ(lines.size(), 2 + std::min<size_t>(count, qelsrv::kBoardClientLines));
        for (const std::string& line : lines) {
            EXPECT_LE(line.size(), 79u) << line;
        }
        EXPECT_TRUE(lines[0].starts_with(std::to_string(count) + (count == 1 ? " client: " : " clients: ")))
            << lines[0];
    }
}

TEST(RoomBoardLines, TheSlowestRunningFirstThenTheLastFailed)
{
    const std::vector<BoardClient> clients = {
        Ended("pc-01", BoardState::Done, 2, 100), Running("pc-fast", 0, 900'000, 1'000'000),
        Running("pc-slow", 0, 10'000, 1'000'000), Ended("pc-gone", BoardState::Unreachable, 3),
        Running("pc-new", 19, 0, 1'000'000), // less than a second: not slow, new
        Running("pc-mid", 0, 400'000, 1'000'000), Ended("pc-broke", BoardState::Failed, 8),
        Ended("pc-first", BoardState::Failed, 1), Client("pc-next", BoardState::Waiting),
        Ended("pc-cur", BoardState::Current, 1),
    };
    const BoardRate rate{5'000'000, 100'000};
    const auto lines = qelsrv::RenderRoomBoard(clients, rate, kBegun, kBegun + 19500ms, 200);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "10 clients: 1 waiting, 4 running, 1 done, 1 current, 2 failed, 1 unreachable");
    EXPECT_TRUE(lines[1].starts_with("elapsed 20 s, sent 4.77 MiB at 97.7 KiB/s, about ")) << lines[1];
    // Six client lines: the four running ones, slowest first, then the two
    // that failed last.
    const std::vector<std::string> order = {"pc-slow", "pc-mid", "pc-fast", "pc-new", "pc-broke", "pc-gone"};
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_TRUE(lines[2 + i].starts_with(order[i] + " ")) << i << ": " << lines[2 + i];
    }
    EXPECT_NE(lines[2].find("512 B/s  [-"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find("  1%  1/4 files"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find("\\data\\pc-slow.pak"), std::string::npos) << lines[2];
    EXPECT_NE(lines[6].find("failed: the client ended the connection"), std::string::npos) << lines[6];
    EXPECT_NE(lines[7].find("unreachable: cannot connect"), std::string::npos) << lines[7];

    // With fewer running, the failures take their lines; blank lines keep
    // the height.
    const std::vector<BoardClient> few = {Ended("a", BoardState::Failed, 1), Ended("b", BoardState::Failed, 2),
                                          Ended("c", BoardState::Failed, 3), Running("d", 0, 5, 10),
                                          Ended("e", BoardState::Done, 1),   Ended("f", BoardState::Done, 1),
                                          Ended("g", BoardState::Done, 1)};
    const auto shown = qelsrv::RenderRoomBoard(few, {}, kBegun, kBegun + 5s, 80);
    ASSERT_EQ(shown.size(), 8u);
    EXPECT_TRUE(shown[2].starts_with("d ")) << shown[2];
    EXPECT_TRUE(shown[3].starts_with("c ")) << shown[3];
    EXPECT_TRUE(shown[4].starts_with("b ")) << shown[4];
    EXPECT_TRUE(shown[5].starts_with("a ")) << shown[5];
    EXPECT_EQ(shown[6], "");
    EXPECT_EQ(shown[7], "");

    // Once every client has ended, the time it took.
    const auto finished =
        qelsrv::RenderRoomBoard({Ended("a", BoardState::Done, 1, 1024)}, {1024, 0}, kBegun, kBegun + 75s, 80);
    EXPECT_EQ(finished[1], "finished in 1 min 15 s, sent 1.00 KiB");
}

TEST(RoomBoardLines, TimeLeft)
{
    struct Case {
        const char* name;
        std::vector<BoardClient> clients;
        double recentRate;
        double elapsed;
        std::optional<double> left;
    };
    const std::vector<Case> cases = {
        {"nothing heard yet", {Client("a", BoardState::Running), Client("b", BoardState::Waiting)}, 0, 5, {}},
        {"the running clients' bytes at the rate", {Running("a", 0, 200, 1000), Running("b", 0, 0, 400)}, 100, 5, 12},
        // b and c are estimated at the mean of the totals known, (1000 + 600) / 2:
        // 500 + 2 * 800 bytes to go.
        {"the unheard at the mean total",
         {Running("a", 0, 500, 1000), Client("b", BoardState::Waiting), Client("c", BoardState::Running),
          Ended("d", BoardState::Done, 1, 600)},
         100,
         5,
         21},
        {"failures count for the pace, not the mean",
         {Ended("a", BoardState::Failed, 1), Ended("b", BoardState::Current, 1), Client("c", BoardState::Waiting),
          Client("d", BoardState::Waiting)},
         0,
         10,
         10},
        {"all ended", {Ended("a", BoardState::Done, 1, 5)}, 0, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<double> left = qelsrv::SecondsLeft(c.clients, {0, c.recentRate}, c.elapsed);
        ASSERT_EQ(left.has_value(), c.left.has_value());
        if (left) {
            EXPECT_DOUBLE_EQ(*left, *c.left);
        }
    }
    EXPECT_EQ(qelsrv::FormatDuration(0.4), "0 s");
    EXPECT_EQ(qelsrv::FormatDuration(59.6), "1 min 00 s");
    EXPECT_EQ(qelsrv::FormatDuration(3725), "1 h 02 min");
}

// ---- 64 clients on a terminal --------------------------------------------------

constexpr size_t kClients = 64;
constexpr auto kHangGuard = 120s; // a hung tool, never a slow one

// qelsrv with its standard output on a pseudo-terminal of 120 columns: what
// it wrote there, and its exit status. The child is killed should the test
// end first.
struct TerminalRun {
    int status = -1;
    std::string screen; // the bytes written to the terminal
    std::string errors; // standard error, a file
};

class Spawned {
public:
    explicit Spawned(pid_t pid) : pid_(pid) { }
    ~Spawned()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    int Wait()
    {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_;
};

TerminalRun RunOnTerminal(const std::vector<std::string>& arguments, const fs::path& scratch)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    const winsize size{40, 120, 0, 0};
    ::ioctl(master, TIOCSWINSZ, &size);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const fs::path errors = scratch / "qelsrv-terminal.err";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, terminal, 1);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> texts{QEL_TEST_QELSRV};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : texts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment{"TERM=xterm"};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!std::string_view(*entry).starts_with("TERM=")) {
            environment.emplace_back(*entry);
        }
    }
    std::vector<char*> envp;
    for (std::string& text : environment) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(terminal);
    if (spawned != 0) {
        ::close(master);
        throw std::runtime_error("cannot start qelsrv");
    }
    Spawned tool(pid);

    // Until the last writer has closed the terminal (EIO).
    TerminalRun run;
    const auto deadline = Clock::now() + kHangGuard;
    while (Clock::now() < deadline) {
        pollfd wait{master, POLLIN, 0};
        if (::poll(&wait, 1, 1000) <= 0) {
            continue;
        }
        char buffer[8192];
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        run.screen.append(buffer, static_cast<size_t>(got));
    }
    ::close(master);
    run.status = tool.Wait();
    std::ifstream file(errors);
    std::ostringstream text;
    text << file.rdbuf();
    run.errors = text.str();
    return run;
}

// The terminal as the escapes of the board leave it: the lines of the
// screen and its scroll-back, and every cursor-up count in the order seen.
struct Screen {
    std::vector<std::string> lines;
    std::vector<int> ups;
};

Screen Emulate(const std::string& bytes)
{
    Screen screen;
    size_t row = 0;
    size_t column = 0;
    const auto line = [&]() -> std::string& {
        if (screen.lines.size() <= row) {
            screen.lines.resize(row + 1);
        }
        return screen.lines[row];
    };
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            size_t end = i + 2;
            while (end < bytes.size() && (std::isdigit(static_cast<unsigned char>(bytes[end])) != 0)) {
                ++end;
            }
            const int count = end > i + 2 ? std::stoi(bytes.substr(i + 2, end - i - 2)) : 1;
            const char command = end < bytes.size() ? bytes[end] : '\0';
            if (command == 'A') {
                screen.ups.push_back(count);
                row -= std::min<size_t>(row, static_cast<size_t>(count));
            } else if (command == 'K') {
                line().clear();
            }
            i = end;
        } else if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            ++row;
            line();
        } else {
            std::string& text = line();
            if (text.size() <= column) {
                text.resize(column + 1, ' ');
            }
            text[column++] = c;
        }
    }
    while (!screen.lines.empty() && screen.lines.back().empty()) {
        screen.lines.pop_back();
    }
    return screen;
}

// The targets of a --clients file: each line up to its comment, trimmed.
std::set<std::string> ClientsInFile(const fs::path& file)
{
    std::set<std::string> clients;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (!line.empty()) {
            clients.insert(line);
        }
    }
    return clients;
}

class RoomOf64 : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (auto reason = e2e::ClientWorld::Unavailable(e2e::World::Linux)) {
            GTEST_SKIP() << *reason;
        }
        for (size_t i = 0; i < kClients; ++i) {
            clients_.push_back(e2e::ClientWorld::Create(e2e::World::Linux));
            clients_.back()->MapDrives({{'D'}});
            clients_.back()->Start();
        }
    }
    static void TearDownTestSuite() { clients_.clear(); }

    void SetUp() override
    {
        if (clients_.size() != kClients) {
            GTEST_SKIP() << "the clients did not start";
        }
        scratch_ = fs::temp_directory_path() / ("qel-room64-" + std::to_string(::getpid()));
        fs::remove_all(scratch_);
        fs::create_directories(scratch_);
    }
    void TearDown() override { fs::remove_all(scratch_); }

    static std::string Label(size_t i) { return "127.0.0.1:" + std::to_string(clients_[i]->Endpoint().port); }

    static std::vector<std::unique_ptr<e2e::ClientWorld>> clients_;
    fs::path scratch_;
};

std::vector<std::unique_ptr<e2e::ClientWorld>> RoomOf64::clients_;

TEST_F(RoomOf64, BoardOfConstantHeightAndARerunOfTheFailedOnly)
{
    const fs::path game = scratch_ / "game";
    e2e::PutFile(game / "x.exe", e2e::Pattern(150'000, 1));
    e2e::PutFile(game / "data" / "a.pak", e2e::Pattern(50'000, 2));
    const std::string path = "D:\\games\\r64\\";
    // Client 7 holds the version already; a file where clients 20, 40 and
    // 60 need the game's folder fails their update; clients 30 and 50 are
    // switched off.
    e2e::PutFile(clients_[7]->Drive('D') / "games" / "r64" / "tarngamever" / "tarnGameVer.txt", "2.0");
    const std::vector<size_t> failing = {20, 40, 60};
    const std::vector<size_t> off = {30, 50};
    for (size_t i : failing) {
        e2e::PutFile(clients_[i]->Drive('D') / "games" / "r64", "not a folder");
    }
    for (size_t i : off) {
        ASSERT_EQ(clients_[i]->StopWithCtrlC(), 0);
    }
    std::ofstream room(scratch_ / "room.txt");
    for (size_t i = 0; i < kClients; ++i) {
        room << Label(i) << "\n";
    }
    room.close();

    // Eight at a time at 40 Mbit/s: a few seconds, many frames.
    const fs::path failedList = scratch_ / "failed.txt";
    const TerminalRun run = RunOnTerminal({"update", "--clients", (scratch_ / "room.txt").string(), "--game",
                                           game.string(), "--path", path, "--version", "2.0", "--task-id", "64",
                                           "--parallel", "8", "--bwlimit", "40M", "--failed", failedList.string()},
                                          scratch_);
    EXPECT_EQ(run.status, 1) << run.errors;
    const Screen screen = Emulate(run.screen);

    // Every redraw goes up the same eight lines: two of totals, six clients.
    ASSERT_GE(screen.ups.size(), 5u) << run.screen;
    for (int up : screen.ups) {
        ASSERT_EQ(up, 8) << run.screen;
    }
    // On the screen: the command's line, the board, a blank line and the table.
    ASSERT_GE(screen.lines.size(), 1 + 8 + 1 + 1 + kClients + 1) << run.screen;
    EXPECT_TRUE(screen.lines[0].starts_with("update D:\\games\\r64\\ to version 2.0")) << screen.lines[0];
    EXPECT_EQ(screen.lines[1], "64 clients: 0 waiting, 0 running, 58 done, 1 current, 3 failed, 2 unreachable");
    EXPECT_TRUE(screen.lines[2].starts_with("finished in ")) << screen.lines[2];
    for (size_t i = 3; i < 9; ++i) {
        const bool failure = screen.lines[i].find("failed: ") != std::string::npos ||
                             screen.lines[i].find("unreachable: ") != std::string::npos;
        EXPECT_TRUE(failure || screen.lines[i].empty()) << screen.lines[i];
    }
    EXPECT_EQ(screen.lines[9], "");
    EXPECT_TRUE(screen.lines[10].starts_with("client ")) << screen.lines[10];
    // While it ran, the board showed clients waiting and at most eight running.
    const std::regex totals(R"(^(\d+) waiting, (\d+) running,)");
    bool sawWaiting = false;
    size_t frame = 0;
    for (size_t at = run.screen.find("64 clients: "); at != std::string::npos;
         at = run.screen.find("64 clients: ", at + 1), ++frame) {
        std::smatch match;
        const std::string rest = run.screen.substr(at + 12, 40);
        ASSERT_TRUE(std::regex_search(rest, match, totals)) << rest;
        sawWaiting = sawWaiting || std::stoul(match[1]) > 0;
        EXPECT_LE(std::stoul(match[2]), 8u) << rest;
    }
    EXPECT_TRUE(sawWaiting);
    EXPECT_GE(frame, 5u);
    // The table is as it was: a current client is "ok", already current.
    const std::string table = run.screen.substr(run.screen.find("client "));
    const size_t row = table.find(Label(7) + " ");
    ASSERT_NE(row, std::string::npos) << table;
    EXPECT_TRUE(std::regex_search(table.substr(row, table.find('\n', row) - row),
                                  std::regex(R"( ok +0 +0 B .*already current)")))
        << table.substr(row, 200);
    EXPECT_NE(table.find("total: 64 clients, 59 ok, 3 failed, 2 unreachable"), std::string::npos) << table;

    // The list names the failed and the switched-off clients, each once.
    std::set<std::string> expected;
    for (size_t i : failing) {
        expected.insert(Label(i));
    }
    for (size_t i : off) {
        expected.insert(Label(i));
    }
    EXPECT_EQ(ClientsInFile(failedList), expected);

    // Mended, the rerun from the list reaches those five and no other client.
    for (size_t i : failing) {
        fs::remove(clients_[i]->Drive('D') / "games" / "r64");
    }
    // A task logs its last line after its last answer: each client not in
    // the list has logged the end of its task before its log is kept.
    std::vector<std::string> logsBefore;
    for (size_t i = 0; i < kClients; ++i) {
        if (expected.count(Label(i)) == 0) {
            const std::string last = i == 7 ? e2e::msg::VersionsAgree(path, "2.0") : e2e::msg::UpdateDone(2, 64, path);
            EXPECT_EQ(e2e::CountMessage(e2e::MessagesOnceLogged(*clients_[i], last), last), 1) << "client " << i;
        }
        logsBefore.push_back(clients_[i]->ReadLog());
    }
    e2e::ProcessOptions options;
    options.arguments = {
        QEL_TEST_QELSRV, "update", "--clients", failedList.string(), "--game",           game.string(), "--path", path,
        "--version",     "2.0",    "--json",    "--failed",          failedList.string()};
    options.captureErrors = true;
    e2e::ChildProcess rerun(options);
    std::string out;
    while (auto text = rerun.ReadLine(std::chrono::duration_cast<e2e::Milliseconds>(kHangGuard))) {
        out += *text + "\n";
    }
    EXPECT_EQ(rerun.Wait(std::chrono::duration_cast<e2e::Milliseconds>(kHangGuard)), 1) // two are still off
        << rerun.ReadAllErrors();
    const nlohmann::json document = nlohmann::json::parse(out);
    std::set<std::string> reached;
    for (const nlohmann::json& client : document["clients"]) {
        reached.insert(client["client"].get<std::string>());
        const bool wasOff = client["client"] == Label(30) || client["client"] == Label(50);
        EXPECT_EQ(client["result"], wasOff ? "unreachable" : "ok") << client;
    }
    EXPECT_EQ(reached, expected);
    for (size_t i = 0; i < kClients; ++i) {
        const bool listed = expected.count(Label(i)) > 0;
        if (!listed) {
            EXPECT_EQ(clients_[i]->ReadLog(), logsBefore[i]) << "client " << i << " was not in the list";
        }
    }
    for (size_t i : failing) {
        EXPECT_EQ(e2e::ReadFileBytes(clients_[i]->Drive('D') / "games" / "r64" / "data" / "a.pak"),
                  e2e::Pattern(50'000, 2));
    }
    // And the list now holds the two still off.
    EXPECT_EQ(ClientsInFile(failedList), (std::set<std::string>{Label(30), Label(50)}));
}

} // namespace
