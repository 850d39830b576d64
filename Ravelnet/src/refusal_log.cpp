#include "refusal_log.h"

#include <windows.h>

namespace ravelnet {

RefusalLog::RefusalLog(Writer write) : write_(write ? std::move(write) : Writer(WriteDebugOutput)) { }

bool RefusalLog::Report(net::Ipv4 peer, Refusal reason, Clock::time_point now)
{
    const auto key = std::make_pair(peer, reason);
    auto last = lastLine_.find(key);
    if (last != lastLine_.end() && now - last->second < kQuietTime)
        return false;
    if (last == lastLine_.end() && lastLine_.size() >= kMaxRemembered) {
        ForgetExpired(now);
        if (lastLine_.size() >= kMaxRemembered)
            return false;
    }
    lastLine_[key] = now;
    write_(Describe(peer, reason));
    return true;
}

void RefusalLog::ForgetExpired(Clock::time_point now)
{
    std::erase_if(lastLine_, [now](const auto& entry) { return now - entry.second >= kQuietTime; });
}

std::string RefusalLog::Describe(net::Ipv4 peer, Refusal reason)
{
    const char* why = "";
    switch (reason) {
    case Refusal::NotAllowed:
        why = "not in the allow list (RAVELNET_ALLOW)";
        break;
    case Refusal::WrongMagic:
        why = "its header has no task magic";
        break;
    case Refusal::NoHeader:
        why = "no task header within the header time-out";
        break;
    case Refusal::NoTaskPlace:
        why = "every task place is taken";
        break;
    }
    return "Ravelnet: refused " + net::FormatIpv4(peer) + ": " + why;
}

void WriteDebugOutput(const std::string& line)
{
    ::OutputDebugStringA((line + "\n").c_str());
}

} // namespace ravelnet
