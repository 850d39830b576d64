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

Transfer FromReadiness(Readiness readiness)
{
    return readiness == Readiness::TimedOut ? Transfer::TimedOut : Transfer::Failed;
}

} // namespace

Transfer ReceiveExact(NativeSocket socket, void* buffer, std::size_t length, std::uint32_t timeoutMs)
{
    auto* out = static_cast<unsigned char*>(buffer);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t received = 0;
    while (received < length) {
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
        Readiness readiness = WaitReadable(socket, RemainingMs(deadline));
        if (readiness != Readiness::Ready)
            return FromReadiness(readiness);
    }
    return Transfer::Complete;
}

Transfer WaitForSendRoom(NativeSocket socket, std::uint32_t stallTimeoutMs)
{
    const int waitMs = static_cast<int>(std::min<std::uint32_t>(stallTimeoutMs, INT_MAX));
    Readiness readiness = WaitWritable(socket, waitMs);
    return readiness == Readiness::Ready ? Transfer::Complete : FromReadiness(readiness);
}

Transfer SendAll(NativeSocket socket, const void* buffer, std::size_t length,
                 std::uint32_t stallTimeoutMs)
{
    const auto* in = static_cast<const unsigned char*>(buffer);
    std::size_t sent = 0;
    while (sent < length) {
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
        Transfer room = WaitForSendRoom(socket, stallTimeoutMs);
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
