// qelsrv against a room of clients on loopback: a dozen client hosts (each its
// own QELCltCore process with its own drives and port), ports nobody listens
// on for switched-off PCs, and a peer of the test's own that counts how many
// tasks run at once and can hold them, for --parallel and Ctrl+C.
#include "ChildProcess.h"
#include "ClientWorld.h"
#include "E2ESupport.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using e2e::ChildProcess;
using e2e::ClientWorld;
using e2e::CommandResult;
using e2e::World;
using nlohmann::json;

namespace {

constexpr auto kHangGuard = std::chrono::seconds(60); // a hung tool, never a slow one

CommandResult Qelsrv(const std::vector<std::string>& arguments)
{
    std::vector<std::string> command{QEL_TEST_QELSRV};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return e2e::RunCommand(command);
}

// Standard output only (the JSON document), standard error to a file.
struct SplitRun {
    int status = -1;
    std::string out;
    std::string err;
};

SplitRun QelsrvSplit(const std::vector<std::string>& arguments, const fs::path& scratch)
{
    e2e::ProcessOptions options;
    options.arguments = {QEL_TEST_QELSRV};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.errorFile = scratch / "qelsrv.err";
    SplitRun run;
    {
        ChildProcess tool(options);
        while (auto line = tool.ReadLine(std::chrono::duration_cast<e2e::Milliseconds>(kHangGuard)))
            run.out += *line + "\n";
        run.status = tool.Wait(std::chrono::duration_cast<e2e::Milliseconds>(kHangGuard)).value_or(-1);
    }
    std::ifstream err(options.errorFile);
    std::ostringstream text;
    text << err.rdbuf();
    run.err = text.str();
    return run;
}

fs::path Scratch(const std::string& name)
{
    fs::path path = fs::temp_directory_path() / ("qel-room-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(path);
    fs::create_directories(path);
    return path;
}

std::string Label(uint16_t port)
{
    return "127.0.0.1:" + std::to_string(port);
}

// The task server of a client as far as the disk info task goes, on several
// loopback ports at once (each a client to the tool). It answers "accepted,
// no drives"; it counts the connections open at once and can hold them.
class Peer {
public:
    enum class Mode {
        Limit,     // answer the oldest held task once `limit` are held (or all that are left)
        Hold,      // answer nothing until Release()
        FailFirst, // reset each port's first connection, answer the others at once
    };

    Peer(size_t ports, Mode mode, size_t limit = 0, size_t expected = 0)
        : mode_(mode), limit_(limit), expected_(expected)
    {
        for (size_t i = 0; i < ports; ++i) {
            int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            EXPECT_EQ(::listen(listener, 64), 0);
            socklen_t length = sizeof address;
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
            listeners_.push_back(listener);
            ports_.push_back(ntohs(address.sin_port));
        }
        accepted_.assign(ports, 0);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }

    ~Peer()
    {
        {
            std::lock_guard lock(mutex_);
            ending_ = true;
            released_ = true;
        }
        changed_.notify_all();
        acceptor_.join();
        for (std::thread& thread : tasks_)
            thread.join();
        for (int listener : listeners_)
            ::close(listener);
    }

    const std::vector<uint16_t>& Ports() const { return ports_; }

    void Release()
    {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    // Waits until `count` tasks are held at once; false after the guard.
    bool WaitForOpen(size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kHangGuard, [&] { return open_ >= count; });
    }

    size_t MostOpen()
    {
        std::lock_guard lock(mutex_);
        return mostOpen_;
    }
    size_t Connections()
    {
        std::lock_guard lock(mutex_);
        return connections_;
    }

private:
    void AcceptLoop()
    {
        std::vector<pollfd> polls;
        for (int listener : listeners_)
            polls.push_back({listener, POLLIN, 0});
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (ending_)
                    return;
            }
            if (::poll(polls.data(), polls.size(), 50) <= 0)
                continue;
            for (size_t i = 0; i < polls.size(); ++i) {
                if ((polls[i].revents & POLLIN) == 0)
                    continue;
                int connection = ::accept4(listeners_[i], nullptr, nullptr, SOCK_CLOEXEC);
                if (connection < 0)
                    continue;
                std::lock_guard lock(mutex_);
                const bool first = accepted_[i]++ == 0;
                ++connections_;
                ++open_;
                mostOpen_ = std::max(mostOpen_, open_);
                changed_.notify_all();
                tasks_.emplace_back([this, connection, first] { Serve(connection, first); });
            }
        }
    }

    void Serve(int connection, bool first)
    {
        char header[16];
        size_t got = 0;
        while (got < sizeof header) {
            ssize_t n = ::recv(connection, header + got, sizeof header - got, 0);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        bool answer = got == sizeof header;
        {
            std::unique_lock lock(mutex_);
            if (mode_ == Mode::FailFirst && first) {
                answer = false;
            } else if (mode_ == Mode::Hold) {
                changed_.wait(lock, [&] { return released_; });
            } else if (mode_ == Mode::Limit) {
                held_.push_back(connection);
                changed_.notify_all();
                const bool released = changed_.wait_for(lock, kHangGuard, [&] {
                    const size_t left = expected_ - answered_;
                    return ending_ || (held_.front() == connection && held_.size() >= std::min(limit_, left));
                });
                EXPECT_TRUE(released) << "the tool ran fewer tasks at once than allowed";
                std::erase(held_, connection);
                ++answered_;
            }
            // Counted from accept to the answer: within the tool's own task,
            // which ends only once the answer has come.
            --open_;
            answer = answer && !ending_;
            changed_.notify_all();
        }
        if (answer) {
            uint32_t reply[5] = {0, 0, 1, 0, 0}; // accepted, no drive records
            (void)::send(connection, reply, sizeof reply, MSG_NOSIGNAL);
            char rest;
            (void)::recv(connection, &rest, 1, 0); // until the tool closes
        } else if (!answer) {
            linger reset{1, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        ::close(connection);
    }

    const Mode mode_;
    const size_t limit_;
    const size_t expected_;
    std::vector<int> listeners_;
    std::vector<uint16_t> ports_;
    std::vector<size_t> accepted_;
    std::thread acceptor_;
    std::vector<std::thread> tasks_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<int> held_;
    size_t answered_ = 0;
    size_t open_ = 0;
    size_t mostOpen_ = 0;
    size_t connections_ = 0;
    bool released_ = false;
    bool ending_ = false;
};

std::vector<std::string> PeerTargets(const Peer& peer)
{
    std::vector<std::string> targets;
    for (uint16_t port : peer.Ports())
        targets.push_back(Label(port));
    return targets;
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Waits until the tool's standard error holds `text`.
bool WaitForErrorText(const fs::path& file, const std::string& text)
{
    const auto end = std::chrono::steady_clock::now() + kHangGuard;
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream in(file);
        std::ostringstream content;
        content << in.rdbuf();
        if (content.str().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The clients of a --failed list as --clients reads them, each with the
// comment that follows it on its line.
std::map<std::string, std::string> RerunList(const fs::path& file)
{
    std::map<std::string, std::string> clients;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        const size_t hash = line.find('#');
        std::string target = line.substr(0, hash);
        target.erase(target.find_last_not_of(' ') + 1);
        if (!target.empty())
            clients[target] = hash == std::string::npos ? "" : line.substr(line.find_first_not_of("# ", hash));
    }
    return clients;
}

TEST(RoomPeer, ParallelThreeNeverRunsMoreThanThree)
{
    Peer peer(12, Peer::Mode::Limit, 3, 12);
    const fs::path scratch = Scratch("parallel");
    const SplitRun run = QelsrvSplit(Concat({"diskinfo", "--parallel", "3", "--json"}, PeerTargets(peer)), scratch);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(peer.MostOpen(), 3u);
    EXPECT_EQ(peer.Connections(), 12u);
    json document = json::parse(run.out);
    ASSERT_EQ(document["clients"].size(), 12u);
    for (json client : document["clients"]) {
        EXPECT_EQ(client["result"], "ok") << client;
        EXPECT_EQ(client["reply"], 1) << client;
        EXPECT_EQ(client["replyMeaning"], "accepted") << client;
    }
    EXPECT_EQ(document["totals"]["ok"], 12);
}

TEST(RoomPeer, RetryRunsAFailedClientAgainAfterTheOthers)
{
    Peer peer(3, Peer::Mode::FailFirst);
    const fs::path scratch = Scratch("retry");
    const SplitRun once =
        QelsrvSplit(Concat({"diskinfo", "--json", "--parallel", "1"}, {Label(peer.Ports()[0])}), scratch);
    EXPECT_EQ(once.status, 1);
    EXPECT_EQ(json::parse(once.out)["clients"][0]["result"], "failed");

    const SplitRun run = QelsrvSplit(Concat({"diskinfo", "--json", "--retry", "2"}, PeerTargets(peer)), scratch);
    EXPECT_EQ(run.status, 0) << run.err;
    json document = json::parse(run.out);
    ASSERT_EQ(document["clients"].size(), 3u);
    EXPECT_EQ(document["clients"][0]["attempts"], 1); // its first connection was the run above
    EXPECT_EQ(document["clients"][1]["attempts"], 2);
    EXPECT_EQ(document["clients"][2]["attempts"], 2);
    EXPECT_EQ(document["totals"]["ok"], 3);

    // An unreachable client is tried 1 + N times and still reported.
    const uint16_t nobody = e2e::FreeLoopbackPort();
    const SplitRun unreachable =
        QelsrvSplit({"diskinfo", "--json", "--retry", "2", Label(nobody), Label(peer.Ports()[1])}, scratch);
    EXPECT_EQ(unreachable.status, 1);
    json second = json::parse(unreachable.out);
    EXPECT_EQ(second["clients"][0]["result"], "unreachable");
    EXPECT_EQ(second["clients"][0]["attempts"], 3);
    EXPECT_EQ(second["clients"][1]["result"], "ok");
    EXPECT_EQ(second["clients"][1]["attempts"], 1);
}

// Ctrl+C once: no client starts any more, the running ones end, the summary
// comes. Twice: the running ones are ended too. The clients that did not
// run (and those ended) are the ones to run again.
TEST(RoomPeer, CtrlCStopsStartingAndStillPrintsTheSummary)
{
#ifdef QEL_TEST_UNDER_QEMU_USER
    // Under qemu-i386 (user mode, 7.2) a thread of a program with several
    // goes on after its signal handler with another thread's thread pointer
    // (pthread_self changes), and qelsrv's join of that thread then fails
    // with EDEADLK.
    GTEST_SKIP() << "qemu-i386 (user mode) gives a thread another thread's thread pointer after a signal handler";
#endif
    for (int presses : {1, 2}) {
        SCOPED_TRACE(presses);
        Peer peer(6, Peer::Mode::Hold);
        const fs::path scratch = Scratch("ctrlc" + std::to_string(presses));
        e2e::ProcessOptions options;
        const fs::path failedList = scratch / "failed.txt";
        options.arguments =
            Concat({QEL_TEST_QELSRV, "diskinfo", "--json", "--parallel", "2", "--failed", failedList.string()},
                   PeerTargets(peer));
        options.errorFile = scratch / "qelsrv.err";
        ChildProcess tool(options);
        ASSERT_TRUE(peer.WaitForOpen(2));
        tool.Signal(SIGINT);
        ASSERT_TRUE(WaitForErrorText(options.errorFile, "qelsrv: stopping"));
        if (presses == 1) {
            peer.Release();
        } else {
            tool.Signal(SIGINT);
        }
        std::string out;
        while (auto line = tool.ReadLine(std::chrono::duration_cast<e2e::Milliseconds>(kHangGuard)))
            out += *line + "\n";
        EXPECT_EQ(tool.Wait(std::chrono::duration_cast<e2e::Milliseconds>(kHangGuard)), 1);
        EXPECT_EQ(peer.Connections(), 2u);
        json document = json::parse(out);
        ASSERT_EQ(document["clients"].size(), 6u);
        for (size_t i = 0; i < 6; ++i) {
            json client = document["clients"][i];
            if (i >= 2) {
                EXPECT_EQ(client["result"], "not-run") << client;
                EXPECT_EQ(client["ok"], false) << client;
            } else if (presses == 1) {
                EXPECT_EQ(client["result"], "ok") << client;
            } else {
                EXPECT_EQ(client["result"], "failed") << client;
                EXPECT_NE(client.value("error", std::string()).find("Ctrl+C"), std::string::npos) << client;
            }
        }
        EXPECT_EQ(document["totals"]["notRun"], 4);
        // The list: the ones not run, and the two ended by the second Ctrl+C.
        std::map<std::string, std::string> listed = RerunList(failedList);
        std::map<std::string, std::string> expected;
        for (size_t i = presses == 1 ? 2 : 0; i < 6; ++i)
            expected[Label(peer.Ports()[i])] = i < 2 ? "failed: ended by Ctrl+C" : "not run: not started";
        for (auto& [client, comment] : listed)
            comment = comment.substr(0, expected.count(client) > 0 ? expected[client].size() : comment.size());
        EXPECT_EQ(listed, expected);
        peer.Release();
    }
}

TEST(RoomCommandLine, UsageErrorsEndWithStatus2)
{
    const fs::path scratch = Scratch("usage");
    const fs::path empty = scratch / "empty.txt";
    std::ofstream(empty) << "# nobody here\n\n";
    const fs::path game = scratch / "game";
    fs::create_directories(game);
    const std::vector<std::vector<std::string>> cases = {
        {"diskinfo"},
        {"diskinfo", "--clients", empty.string()},
        {"diskinfo", "--clients", (scratch / "missing.txt").string()},
        {"diskinfo", "10.0.0.0/33"},
        {"diskinfo", "10.0.0.9-5"},
        {"diskinfo", "127.0.0.1", "--parallel", "0"},
        {"diskinfo", "127.0.0.1", "--failed", (scratch / "no" / "such" / "folder.txt").string()},
        {"delete", "127.0.0.1", "--path", "D:\\x"},
        {"update", "127.0.0.1", "--game", game.string(), "--path", "D:\\g\\", "--version", "1", "--bwlimit", "fast"},
        {"update", "127.0.0.1", "--game", game.string(), "--path", "D:\\g\\", "--version", "1", "--bwlimit", "0"},
        {"dirsync", "127.0.0.1", "--dir", game.string(), "--base", "\\g", "--bwlimit", "5X"},
    };
    for (const auto& arguments : cases) {
        const CommandResult run = Qelsrv(arguments);
        EXPECT_EQ(run.exitStatus, 2) << arguments[1] << " " << arguments.back() << ": " << run.output;
    }
    const CommandResult help = Qelsrv({"update", "--help"});
    EXPECT_NE(help.output.find("BITS per second"), std::string::npos) << help.output;
}

// ---- A dozen real clients ----------------------------------------------------

class Room : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (auto reason = ClientWorld::Unavailable(World::Linux))
            GTEST_SKIP() << *reason;
        for (int i = 0; i < 12; ++i) {
            clients_.push_back(ClientWorld::Create(World::Linux));
            clients_.back()->MapDrives({{'D'}});
            clients_.back()->Start();
        }
    }
    static void TearDownTestSuite() { clients_.clear(); }

    void SetUp() override
    {
        if (clients_.size() != 12)
            GTEST_SKIP() << "the clients did not start";
        scratch_ = Scratch(testing::UnitTest::GetInstance()->current_test_info()->name());
    }

    static std::vector<std::string> ClientLabels(size_t count = 12)
    {
        std::vector<std::string> labels;
        for (size_t i = 0; i < count; ++i)
            labels.push_back(Label(clients_[i]->Endpoint().port));
        return labels;
    }

    static std::vector<std::unique_ptr<ClientWorld>> clients_;
    fs::path scratch_;
};

std::vector<std::unique_ptr<ClientWorld>> Room::clients_;

TEST_F(Room, UpdateFromAClientsFileReportsEveryClient)
{
    const fs::path game = scratch_ / "game";
    e2e::PutFile(game / "x.exe", e2e::Pattern(200000, 1));
    e2e::PutFile(game / "maps" / "a.map", e2e::Pattern(3000, 2));
    // Client 5 already holds the version: it declines.
    e2e::PutFile(clients_[5]->Drive('D') / "games" / "r1" / "tarngamever" / "tarnGameVer.txt", "1.0");
    // A peer that takes the task and drops it: a client that fails.
    Peer failing(1, Peer::Mode::FailFirst);

    const uint16_t off1 = e2e::FreeLoopbackPort();
    const uint16_t off2 = off1 == 65535 ? 1 : off1 + 1;
    std::ofstream file(scratch_ / "room.txt");
    file << "# the room\n";
    for (const std::string& label : ClientLabels())
        file << label << "   # a PC\n\n";
    file << Label(off1) << "\n"
         << ClientLabels()[0] << "\n"
         << Label(off2) << "\n"
         << Label(failing.Ports()[0]) << "\n";
    file.close();

    const SplitRun run =
        QelsrvSplit({"update", "--clients", (scratch_ / "room.txt").string(), "--game", game.string(), "--path",
                     "D:\\games\\r1\\", "--version", "1.0", "--json", "--parallel", "4", "--connect-timeout", "2"},
                    scratch_);
    EXPECT_EQ(run.status, 1) << run.err;
    json document = json::parse(run.out);
    EXPECT_EQ(document["command"], "update");
    json rows = document["clients"];
    ASSERT_EQ(rows.size(), 15u) << document; // the duplicate is gone
    for (size_t i = 0; i < 12; ++i) {
        json row = rows[i];
        EXPECT_EQ(row["client"], ClientLabels()[i]);
        if (i == 5) {
            EXPECT_EQ(row["result"], "current") << row;
            EXPECT_EQ(row["ok"], true) << row;
            EXPECT_EQ(row["outcome"], "already current") << row;
            EXPECT_EQ(row["reply"], 110020) << row;
            EXPECT_EQ(row["replyMeaning"], "already current") << row;
            EXPECT_EQ(row["files"], 0) << row;
        } else {
            EXPECT_EQ(row["result"], "ok") << row;
            EXPECT_EQ(row["outcome"], "updated 2 files") << row;
            EXPECT_EQ(row["reply"], 1) << row;
            EXPECT_EQ(row["files"], 2) << row;
            EXPECT_EQ(row["bytes"], 203000) << row;
            EXPECT_EQ(e2e::ReadFileBytes(clients_[i]->Drive('D') / "games" / "r1" / "maps" / "a.map"),
                      e2e::Pattern(3000, 2));
        }
    }
    EXPECT_EQ(rows[12]["client"], Label(off1));
    EXPECT_EQ(rows[12]["result"], "unreachable");
    EXPECT_EQ(rows[13]["client"], Label(off2));
    EXPECT_EQ(rows[13]["result"], "unreachable");
    EXPECT_EQ(rows[14]["result"], "failed");
    EXPECT_EQ(rows[14]["reply"], nullptr);
    EXPECT_FALSE(rows[14].value("error", "").empty()) << rows[14];
    json totals = document["totals"];
    EXPECT_EQ(totals["clients"], 15);
    EXPECT_EQ(totals["ok"], 12); // the current one among them
    EXPECT_EQ(totals["current"], 1);
    EXPECT_EQ(totals["failed"], 1);
    EXPECT_EQ(totals["unreachable"], 2);
    EXPECT_EQ(totals["files"], 22);
    EXPECT_EQ(totals["bytes"], 11 * 203000);
    // Progress went to standard error.
    EXPECT_NE(run.err.find("update D:\\games\\r1\\ to version 1.0"), std::string::npos) << run.err;
}

TEST_F(Room, DiskInfoTableListsEveryClientAndSucceedsWhenAllDo)
{
    const CommandResult all = Qelsrv(Concat({"diskinfo"}, ClientLabels()));
    EXPECT_EQ(all.exitStatus, 0) << all.output;
    const size_t table = all.output.find("\nclient ");
    ASSERT_NE(table, std::string::npos) << all.output;
    for (const std::string& label : ClientLabels()) {
        const size_t row = all.output.find("\n" + label + " ", table);
        ASSERT_NE(row, std::string::npos) << label << "\n" << all.output;
        EXPECT_NE(all.output.substr(row, all.output.find('\n', row + 1) - row).find(" ok "), std::string::npos)
            << all.output;
    }
    EXPECT_NE(all.output.find("total: 12 clients, 12 ok, 0 failed, 0 unreachable"), std::string::npos) << all.output;

    // A range on loopback reaches the one client under three addresses.
    const std::string port = std::to_string(clients_[0]->Endpoint().port);
    const CommandResult range = Qelsrv({"diskinfo", "127.0.0.1-3:" + port, "--json"});
    EXPECT_EQ(range.exitStatus, 0) << range.output;
    EXPECT_NE(range.output.find("127.0.0.3:" + port), std::string::npos) << range.output;
}

// The cap's arithmetic is tested with a clock of the test's own
// (room_targets_test); its live rate is measured by bench/bwlimit_rate.sh.
// Here: a capped run goes through the tool and reports what it sent.
TEST_F(Room, BandwidthCapIsAppliedAndReported)
{
    // Three clients fetch 4 MB each under a cap of 24 Mbit/s (3 MB/s): about
    // four seconds of sending.
    const fs::path game = scratch_ / "big";
    e2e::PutFile(game / "big.bin", e2e::Pattern(4'000'000, 3));
    const SplitRun run = QelsrvSplit(Concat({"update", "--game", game.string(), "--path", "D:\\games\\big\\",
                                             "--version", "1", "--json", "--bwlimit", "24M"},
                                            ClientLabels(3)),
                                     scratch_);
    ASSERT_EQ(run.status, 0) << run.err;
    json totals = json::parse(run.out)["totals"];
    EXPECT_EQ(totals["bytes"], 12'000'000);
    EXPECT_EQ(totals["bwlimitBytesPerSecond"], 3'000'000);
    const double sent = totals["bytesSent"].get<double>();
    const double seconds = totals["sendingSeconds"].get<double>();
    EXPECT_GE(sent, 12'000'000);
    ASSERT_GT(seconds, 0);
    // The reported rate is what was sent over the time it took to send it.
    EXPECT_NEAR(totals["sendRate"].get<double>(), sent / seconds, 1000);
}

} // namespace
