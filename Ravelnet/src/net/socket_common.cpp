// Transfer routines and address text, written once over the platform
// primitives of socket_posix.cpp / socket_win.cpp.
#include "net/socket.h"

#include <algorithm>
#include <chrono>
#include <climits>

namespace ravelnet::net {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

bool IsStopped(const StopFlag* stop)
{
    return stop != nullptr && stop->load();
}

// Waits until the socket is ready in one direction, the deadline passes, or
// the stop flag is raised; Complete means ready.
Transfer WaitUntil(NativeSocket socket, bool forSending, Clock::time_point deadline, const StopFlag* stop)
{
    for (;;) {
        if (IsStopped(stop))
            return Transfer::Stopped;
        const int left = RemainingMs(deadline);
        const int slice = stop != nullptr ? std::min(left, kStopCheckMs) : left;
        Readiness readiness = forSending ? WaitWritable(socket, slice) : WaitReadable(socket, slice);
        if (readiness == Readiness::Ready)
            return IsStopped(stop) ? Transfer::Stopped : Transfer::Complete;
        if (readiness == Readiness::Failed)
            return Transfer::Failed;
        if (slice >= left)
            return IsStopped(stop) ? Transfer::Stopped : Transfer::TimedOut;
    }
}

} // namespace

Transfer ReceiveExact(NativeSocket socket, void* buffer, std::size_t length, std::uint32_t timeoutMs,
                      const StopFlag* stop)
{
    auto* out = static_cast<unsigned char*>(buffer);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t received = 0;
    while (received < length) {
        if (IsStopped(stop))
            return Transfer::Stopped;
        StepResult result = ReceiveSome(socket, out + received, length - received);
        switch (result.step) {
        case Step::Moved:
            received += result.bytes;
            continue;
        case Step::PeerClosed:
            return Transfer::PeerClosed;
        case Step::Failed:
            return Transfer::Failed;
        case Step::WouldBlock:
            break;
        }
        Transfer ready = WaitUntil(socket, false, deadline, stop);
        if (ready != Transfer::Complete)
            return ready;
    }
    return Transfer::Complete;
}

Transfer WaitForSendRoom(NativeSocket socket, std::uint32_t stallTimeoutMs, const StopFlag* stop)
{
    return WaitUntil(socket, true, Clock::now() + std::chrono::milliseconds(stallTimeoutMs), stop);
}

Transfer SendAll(NativeSocket socket, const void* buffer, std::size_t length, std::uint32_t stallTimeoutMs,
                 const StopFlag* stop)
{
    const auto* in = static_cast<const unsigned char*>(buffer);
    std::size_t sent = 0;
    while (sent < length) {
        if (IsStopped(stop))
            return Transfer::Stopped;
        StepResult result = SendSome(socket, in + sent, length - sent);
        switch (result.step) {
        case Step::Moved:
            sent += result.bytes;
            continue;
        case Step::PeerClosed:
        case Step::Failed:
            return Transfer::Failed;
        case Step::WouldBlock:
            break;
        }
        // The time-out counts from the last progress: a slow but moving peer
        // is served, one that stopped reading is given up on.
        Transfer room = WaitForSendRoom(socket, stallTimeoutMs, stop);
        if (room != Transfer::Complete)
            return room;
    }
    return Transfer::Complete;
}

std::optional<Ipv4> ParseIpv4(std::string_view text)
{
    Ipv4 address = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (text.empty() || text.front() != '.')
                return std::nullopt;
            text.remove_prefix(1);
        }
        std::size_t digits = 0;
        unsigned value = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[digits] - '0');
            if (++digits > 3)
                return std::nullopt;
        }
        if (digits == 0 || value > 255)
            return std::nullopt;
        text.remove_prefix(digits);
        address = (address << 8) | value;
    }
    if (!text.empty())
        return std::nullopt;
    return address;
}

std::string FormatIpv4(Ipv4 address)
{
    return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xFF) + '.' +
           std::to_string((address >> 8) & 0xFF) + '.' + std::to_string(address & 0xFF);
}

} // namespace ravelnet::net
