// One debugger-output line for each peer the server turns away, so that an
// operator can see why a sync server cannot reach this PC; at most one line
// per address and reason a minute, so that a noisy network cannot flood it.
#pragma once

#include "net/socket.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <utility>

namespace ravelnet {

enum class Refusal {
    NotAllowed,  // the peer is outside the allow list
    WrongMagic,  // a whole header without the magic
    NoHeader,    // no whole header within the header time-out
    NoTaskPlace, // a valid task while every task place was taken
};

class RefusalLog {
public:
    using Clock = std::chrono::steady_clock;
    using Writer = std::function<void(const std::string& line)>;

    static constexpr std::chrono::minutes kQuietTime{1};
    // Addresses remembered at once; past that, lines of new addresses are
    // left out until old entries expire (a flood from thousands of
    // addresses must not grow the log or the memory without bound).
    static constexpr std::size_t kMaxRemembered = 4096;

    // `write` gets each line, without a line end. By default the lines go
    // to the debugger output.
    explicit RefusalLog(Writer write = {});

    // Writes the line unless the same address and reason had one less than
    // a minute ago. True when it wrote.
    bool Report(net::Ipv4 peer, Refusal reason, Clock::time_point now = Clock::now());

    static std::string Describe(net::Ipv4 peer, Refusal reason);

private:
    void ForgetExpired(Clock::time_point now);

    Writer write_;
    std::map<std::pair<net::Ipv4, Refusal>, Clock::time_point> lastLine_;
};

// Debugger output: OutputDebugStringA on Windows and in our POSIX layer.
void WriteDebugOutput(const std::string& line);

} // namespace ravelnet
