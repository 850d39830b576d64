// The installed client on a noisy network: while hundreds of peers from
// other addresses hold every place of the connections still waiting for
// their header, and garbage keeps coming, the sync server's real tasks are
// answered, the client stays up, and every connection it opened is closed
// again. How long the tasks took is printed, not asserted: the proof is that
// they are served while the flood still holds its places.
#include "E2ESupport.h"

#include "checklist.h"
#include "maintenance_tasks.h"
#include "task_connection.h"
#include "update_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace fs = std::filesystem;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSilentPeers = 400;
constexpr int kGarbagePeers = 200;
// The transport's bound on the connections still sending their header.
constexpr int kWaitingPlaces = 256;
// The silent peers must not be timed out while the test runs, however
// slowly the machine runs it: the flood is still connected after the tasks.
constexpr const char* kLongHeaderTimeoutMs = "3600000";

// A loopback address other than 127.0.0.1 (the sync server's): the n-th of
// 127.0.<first + n / 250>.<n % 250 + 1>.
std::string OtherAddress(int first, int n)
{
    return "127.0." + std::to_string(first + n / 250) + "." + std::to_string(n % 250 + 1);
}

// Bytes that are never a task header: no magic where the header has it.
std::vector<std::byte> Garbage(uint32_t seed)
{
    const std::string text = Pattern(8 + seed % 40, seed);
    std::vector<std::byte> bytes(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        bytes[i] = static_cast<std::byte>(text[i]);
    if (bytes.size() >= 5)
        bytes[4] = std::byte{0x00};
    return bytes;
}

// The connections that a process still holds on the client's side of
// `port`: the TCP table's entries of that local port, other than the
// listener, that a process owns (an inode). A connection the client has
// closed holds none: it is gone, or waits out its time with no owner. Read
// from the table, not from the host's descriptors: under Wine the sockets
// belong to the wineserver, and every Wine thread holds pipes of its own.
std::size_t ConnectionsHeldAt(uint16_t port)
{
    constexpr const char* kListening = "0A";
    std::size_t count = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream lines(table);
        std::string line;
        std::getline(lines, line); // the heading
        while (std::getline(lines, line)) {
            // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
                  inode))
                continue;
            const std::size_t colon = local.rfind(':');
            const bool atPort = colon != std::string::npos && std::stoul(local.substr(colon + 1), nullptr, 16) == port;
            count += atPort && state != kListening && inode != "0" ? 1 : 0;
        }
    }
    return count;
}

// A connection from another loopback address that never says a word, and
// sees when the client closes it.
class SilentPeer {
public:
    SilentPeer(const std::string& source, uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        ::inet_pton(AF_INET, source.c_str(), &address.sin_addr);
        sockaddr_in client{};
        client.sin_family = AF_INET;
        client.sin_port = htons(port);
        client.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::connect(fd_, reinterpret_cast<sockaddr*>(&client), sizeof client) != 0) {
            throw std::runtime_error("a silent peer from " + source + " could not connect");
        }
    }
    SilentPeer(SilentPeer&& other) noexcept : fd_(std::exchange(other.fd_, -1)) { }
    SilentPeer& operator=(SilentPeer&&) = delete;
    ~SilentPeer()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    // Whether the client has ended the connection (it never sends a byte).
    bool ClosedByClient() const
    {
        pollfd wait{fd_, POLLIN, 0};
        if (::poll(&wait, 1, 0) <= 0)
            return false;
        char byte;
        return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
    }

private:
    int fd_;
};

int ClosedByClient(const std::vector<SilentPeer>& peers)
{
    int closed = 0;
    for (const SilentPeer& peer : peers)
        closed += peer.ClosedByClient() ? 1 : 0;
    return closed;
}

// Waits until the client has closed at least `count` of `peers` (a minute at
// most: a guard against a client that never does).
int WaitUntilClosed(const std::vector<SilentPeer>& peers, int count)
{
    const auto giveUp = Clock::now() + std::chrono::minutes(1);
    int closed = ClosedByClient(peers);
    while (closed < count && Clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        closed = ClosedByClient(peers);
    }
    return closed;
}

// Garbage connections opened, one after the other, until stopped (or a bound
// of count and time is reached).
class GarbageStream {
public:
    explicit GarbageStream(uint16_t port) : thread_([this, port] { Run(port); }) { }
    ~GarbageStream()
    {
        stop_ = true;
        thread_.join();
    }
    int Sent() const { return sent_; }

private:
    void Run(uint16_t port)
    {
        const auto giveUp = Clock::now() + std::chrono::seconds(120);
        for (int n = 0; !stop_ && n < 20000 && Clock::now() < giveUp; ++n) {
            try {
                auto peer = qelsrv::TaskConnection::ConnectFrom(OtherAddress(200, n % 5000), "127.0.0.1", port);
                peer.Send(Garbage(static_cast<uint32_t>(n)));
                ++sent_;
            } catch (const qelsrv::TransferError&) {
                // A connection the client closed first: noise all the same.
            }
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    std::thread thread_;
};

class FloodE2E : public WorldTest { };

TEST_P(FloodE2E, RealTasksAreAnsweredWhileOtherPeersFloodThePort)
{
    TempFolder server;
    const fs::path serverGame = server.Path() / "Alpha";
    PutFile(serverGame / "game.exe", Pattern(300000, 1));
    PutFile(serverGame / "maps" / "level.map", Pattern(5000, 2));
    Client().MapDrives({{'D'}});
    Client().SetHostVariable("RAVELNET_HEADER_TIMEOUT_MS", kLongHeaderTimeoutMs);
    Client().Start();
    const uint16_t port = Client().Endpoint().port;
    // One task first, so that the sockets counted before are those of a
    // client that has served a task.
    ASSERT_TRUE(qelsrv::RunDiskInfoTask(Client().Endpoint()).ok);
    const std::size_t socketsBefore = ConnectionsHeldAt(port);

    // Silent peers, each from an address of its own, more than there are
    // places: once the client has closed the surplus, the flood holds every
    // place (a peer is only closed to make room, the header time-out being
    // far away).
    std::vector<SilentPeer> silent;
    for (int n = 0; n < kSilentPeers; ++n)
        silent.emplace_back(OtherAddress(2, n), port);
    ASSERT_GE(WaitUntilClosed(silent, kSilentPeers - kWaitingPlaces), kSilentPeers - kWaitingPlaces)
        << "the client did not make room for new connections";
    std::vector<qelsrv::TaskConnection> garbage;
    for (int n = 0; n < kGarbagePeers; ++n) {
        garbage.push_back(qelsrv::TaskConnection::ConnectFrom(OtherAddress(100, n), "127.0.0.1", port));
        garbage.back().Send(Garbage(static_cast<uint32_t>(n)));
    }

    Clock::duration diskInfoTook{}, updateTook{};
    {
        GarbageStream stream(port);
        auto started = Clock::now();
        const qelsrv::DiskInfoResult diskInfo = qelsrv::RunDiskInfoTask(Client().Endpoint());
        diskInfoTook = Clock::now() - started;
        ASSERT_TRUE(diskInfo.ok) << diskInfo.error;
        EXPECT_EQ(diskInfo.reply.resultCode, 1u);

        const qelsrv::CheckList list = qelsrv::BuildCheckList(serverGame);
        ASSERT_TRUE(list.ok());
        qelsrv::FileTaskSpec spec;
        std::string error;
        ASSERT_TRUE(qelsrv::MakeUpdateParams(7, "1.0", "D:\\Games\\Alpha\\", false, spec.params, error)) << error;
        started = Clock::now();
        const qelsrv::SessionResult update = qelsrv::RunFileTaskSession(Client().Endpoint(), spec, list, {});
        updateTook = Clock::now() - started;
        EXPECT_EQ(update.outcome, qelsrv::SessionOutcome::Completed) << update.error;
        EXPECT_EQ(update.filesServed, 2u);
        // The tasks were served with the flood still there: the client has
        // not closed all of it (only a newcomer can push a silent peer out).
        EXPECT_LT(ClosedByClient(silent), kSilentPeers) << "the flood was gone before the tasks ended";
        std::cout << "flood: " << stream.Sent() << " more garbage connections during the tasks\n";
    }
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    std::cout << "flood: disk info answered in " << duration_cast<milliseconds>(diskInfoTook).count()
              << " ms, update done in " << duration_cast<milliseconds>(updateTook).count() << " ms\n";
    EXPECT_EQ(ReadFileBytes(Client().Drive('D') / "Games" / "Alpha" / "game.exe"), Pattern(300000, 1));

    // The flood goes away: the client closes all it holds for it.
    const std::size_t socketsDuring = ConnectionsHeldAt(port);
    EXPECT_GT(socketsDuring, socketsBefore) << "the client's connections cannot be seen";
    silent.clear();
    garbage.clear();
    const auto giveUp = Clock::now() + std::chrono::seconds(60);
    std::size_t socketsNow = ConnectionsHeldAt(port);
    while (socketsNow > socketsBefore && Clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        socketsNow = ConnectionsHeldAt(port);
    }
    std::cout << "flood: the client held " << socketsBefore << " connections before the flood, " << socketsDuring
              << " during it, " << socketsNow << " after it\n";
    EXPECT_LE(socketsNow, socketsBefore);
    EXPECT_EQ(Client().StopWithCtrlC(), 0) << "the host did not survive the flood";
}

QEL_E2E_IN_BOTH_WORLDS(FloodE2E);

} // namespace
} // namespace e2e
