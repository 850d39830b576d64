#include "waiting_room.h"

#include <algorithm>
#include <utility>

namespace ravelnet {

std::optional<WaitingRoom::Guest> WaitingRoom::Admit(Guest newcomer)
{
    std::optional<Guest> leaving;
    if (CountFrom(newcomer.peer) >= kMaxPerAddress)
        leaving = Release(OldestOf(newcomer.peer));
    else if (guests_.size() >= kMaxInAll)
        leaving = Release(OldestOf(BusiestAddress()));
    ++perAddress_[newcomer.peer];
    guests_.push_back(std::move(newcomer));
    return leaving;
}

WaitingRoom::Guest WaitingRoom::Release(Guests::iterator guest)
{
    Guest released = std::move(*guest);
    guests_.erase(guest);
    auto count = perAddress_.find(released.peer);
    if (--count->second == 0)
        perAddress_.erase(count);
    return released;
}

std::size_t WaitingRoom::CountFrom(net::Ipv4 peer) const
{
    auto found = perAddress_.find(peer);
    return found == perAddress_.end() ? 0 : found->second;
}

std::optional<WaitingRoom::Clock::time_point> WaitingRoom::NextDeadline() const
{
    // Every guest gets the same time-out, so the oldest is due first.
    if (guests_.empty())
        return std::nullopt;
    return guests_.front().deadline;
}

WaitingRoom::Guests::iterator WaitingRoom::OldestOf(net::Ipv4 peer)
{
    return std::find_if(guests_.begin(), guests_.end(), [peer](const Guest& guest) { return guest.peer == peer; });
}

// Of the addresses with the most guests, the one whose oldest guest came
// first: walking the guests oldest first, the first address met with the
// highest count.
net::Ipv4 WaitingRoom::BusiestAddress() const
{
    net::Ipv4 busiest = guests_.front().peer;
    std::size_t most = 0;
    for (const Guest& guest : guests_) {
        std::size_t count = perAddress_.at(guest.peer);
        if (count > most) {
            most = count;
            busiest = guest.peer;
        }
        if (most == kMaxPerAddress)
            break;
    }
    return busiest;
}

} // namespace ravelnet
