// The connections that were accepted but have not yet sent their whole task
// header. They hold no task place; they are bounded on their own, per peer
// address and in all, so that a network full of silent or misbehaving peers
// cannot keep the sync server's connection from being read.
#pragma once

#include "net/socket.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <unordered_map>

namespace ravelnet {

class WaitingRoom {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kMaxPerAddress = 8;
    static constexpr std::size_t kMaxInAll = 256;
    static constexpr std::size_t kHeaderSize = 16;

    // Holds its connection's socket: a guest let go closes it.
    struct Guest {
        net::UniqueSocket socket;
        net::Ipv4 peer = 0;
        Clock::time_point deadline; // the header must be complete by then
        unsigned char header[kHeaderSize] = {};
        std::size_t received = 0; // bytes of header so far
    };
    using Guests = std::list<Guest>; // oldest first

    // Admits a newcomer. When that passes a bound, the oldest guest of the
    // address with the most guests leaves to make room (of the newcomer's
    // own address when that one is at its bound) and is returned to the
    // caller. The newcomer is always admitted.
    std::optional<Guest> Admit(Guest newcomer);

    // Takes a guest out (its header is complete, or it failed), with its
    // socket.
    Guest Release(Guests::iterator guest);

    Guests& All() { return guests_; }
    std::size_t Size() const { return guests_.size(); }
    std::size_t CountFrom(net::Ipv4 peer) const;
    // The earliest deadline, if anybody waits.
    std::optional<Clock::time_point> NextDeadline() const;

private:
    Guests::iterator OldestOf(net::Ipv4 peer);
    net::Ipv4 BusiestAddress() const;

    Guests guests_;
    std::unordered_map<net::Ipv4, std::size_t> perAddress_;
};

} // namespace ravelnet
