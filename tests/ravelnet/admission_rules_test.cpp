// The rules of admission without sockets: who leaves the waiting room when a
// bound is reached, and which refusals are written.
#include "refusal_log.h"
#include "waiting_room.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ravelnet {
namespace {

using namespace std::chrono_literals;

// Guests hold no socket here (one let go would close it): each is told apart
// by its deadline, which the rules of admission do not look at.
WaitingRoom::Clock::time_point Mark(int number)
{
    return WaitingRoom::Clock::time_point(std::chrono::milliseconds(number));
}

WaitingRoom::Guest GuestFrom(net::Ipv4 peer, WaitingRoom::Clock::time_point deadline)
{
    WaitingRoom::Guest guest;
    guest.peer = peer;
    guest.deadline = deadline;
    return guest;
}

TEST(WaitingRoom, EighthFromOneAddressStaysAndTheNinthTakesTheOldestsPlace)
{
    WaitingRoom room;
    for (int i = 0; i < 8; ++i)
        EXPECT_FALSE(room.Admit(GuestFrom(2, Mark(100 + i))));
    EXPECT_FALSE(room.Admit(GuestFrom(3, Mark(200)))); // another address is not affected
    std::optional<WaitingRoom::Guest> leaving = room.Admit(GuestFrom(2, Mark(108)));
    ASSERT_TRUE(leaving);
    EXPECT_EQ(leaving->deadline, Mark(100));
    EXPECT_EQ(room.CountFrom(2), 8u);
    EXPECT_EQ(room.Size(), 9u);
}

TEST(WaitingRoom, FullRoomMakesTheBusiestAddressGiveWay)
{
    WaitingRoom room;
    // 250 single guests (the oldest), then 3 from address 1000, 3 from 2000.
    for (int i = 0; i < 250; ++i)
        EXPECT_FALSE(room.Admit(GuestFrom(10 + i, Mark(i))));
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(room.Admit(GuestFrom(1000, Mark(1000 + i))));
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(room.Admit(GuestFrom(2000, Mark(2000 + i))));
    ASSERT_EQ(room.Size(), WaitingRoom::kMaxInAll);

    // Two addresses tie for the most: the one whose oldest came first gives way.
    std::optional<WaitingRoom::Guest> leaving = room.Admit(GuestFrom(7, Mark(7000)));
    ASSERT_TRUE(leaving);
    EXPECT_EQ(leaving->deadline, Mark(1000));
    leaving = room.Admit(GuestFrom(8, Mark(8000)));
    ASSERT_TRUE(leaving);
    EXPECT_EQ(leaving->deadline, Mark(2000)); // now 2000 has the most
    EXPECT_EQ(room.Size(), WaitingRoom::kMaxInAll);
    EXPECT_EQ(room.CountFrom(10), 1u); // the oldest single is still there
}

TEST(WaitingRoom, ReleaseForgetsTheAddressAndTheOldestIsDueFirst)
{
    WaitingRoom room;
    const auto start = WaitingRoom::Clock::now();
    room.Admit(GuestFrom(5, start + 1s));
    room.Admit(GuestFrom(6, start + 2s));
    EXPECT_EQ(room.NextDeadline(), start + 1s);
    EXPECT_EQ(room.Release(room.All().begin()).peer, 5u);
    EXPECT_EQ(room.CountFrom(5), 0u);
    EXPECT_EQ(room.NextDeadline(), start + 2s);
    room.Release(room.All().begin());
    EXPECT_FALSE(room.NextDeadline());
}

TEST(RefusalLog, OneLinePerAddressAndReasonAMinute)
{
    std::vector<std::string> lines;
    RefusalLog log([&](const std::string& line) { lines.push_back(line); });
    const auto t0 = RefusalLog::Clock::now();
    const net::Ipv4 server = 0x0A000001;  // 10.0.0.1
    const net::Ipv4 scanner = 0xC0A80107; // 192.168.1.7
    struct Step {
        net::Ipv4 peer;
        Refusal reason;
        std::chrono::seconds at;
        bool written;
    };
    const Step steps[] = {
        {server, Refusal::NotAllowed, 0s, true},    {server, Refusal::NotAllowed, 59s, false}, // within the minute
        {server, Refusal::WrongMagic, 59s, true},                                              // another reason
        {scanner, Refusal::NotAllowed, 59s, true},                                             // another address
        {server, Refusal::NotAllowed, 60s, true},                                              // a minute later
        {server, Refusal::NotAllowed, 61s, false},  {scanner, Refusal::NoHeader, 61s, true},
        {scanner, Refusal::NoTaskPlace, 61s, true},
    };
    for (const Step& step : steps)
        EXPECT_EQ(log.Report(step.peer, step.reason, t0 + step.at), step.written) << step.at.count();
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Ravelnet: refused 10.0.0.1: not in the allow list (RAVELNET_ALLOW)",
                         "Ravelnet: refused 10.0.0.1: its header has no task magic",
                         "Ravelnet: refused 192.168.1.7: not in the allow list (RAVELNET_ALLOW)",
                         "Ravelnet: refused 10.0.0.1: not in the allow list (RAVELNET_ALLOW)",
                         "Ravelnet: refused 192.168.1.7: no task header within the header time-out",
                         "Ravelnet: refused 192.168.1.7: every task place is taken",
                     }));
}

TEST(RefusalLog, ManyAddressesDoNotGrowItWithoutBound)
{
    int written = 0;
    RefusalLog log([&](const std::string&) { ++written; });
    const auto t0 = RefusalLog::Clock::now();
    for (net::Ipv4 peer = 1; peer <= RefusalLog::kMaxRemembered + 100; ++peer)
        log.Report(peer, Refusal::NotAllowed, t0);
    EXPECT_EQ(written, static_cast<int>(RefusalLog::kMaxRemembered)); // the rest left out
    // A minute later the old entries are forgotten and new addresses written.
    EXPECT_TRUE(log.Report(0xFFFFFFF0u, Refusal::NotAllowed, t0 + 60s));
}

} // namespace
} // namespace ravelnet
