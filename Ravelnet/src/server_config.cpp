#include "server_config.h"

#include <cstring>
#include <string>
#include <string_view>

namespace ravelnet {
namespace {

// Plain decimal digits, nothing else, at most `limit`.
std::optional<std::uint64_t> ParseDecimal(std::string_view text, std::uint64_t limit)
{
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > limit)
        return std::nullopt;
    return value;
}

// Reads a numeric variable into `value`; false when it is set but malformed.
template <class T>
bool ReadNumber(const char* name, std::uint64_t minimum, std::uint64_t maximum, T& value)
{
    auto text = net::ReadEnvironment(name);
    if (!text)
        return true;
    auto parsed = ParseDecimal(*text, maximum);
    if (!parsed || *parsed < minimum)
        return false;
    value = static_cast<T>(*parsed);
    return true;
}

std::optional<net::Ipv4> ListenAddressOf(const RavelnetServerSettings& settings)
{
    const char* text = settings.listenAddress;
    const void* end = std::memchr(text, '\0', sizeof settings.listenAddress);
    if (end == nullptr)
        return std::nullopt; // not terminated inside its field
    return net::ParseIpv4(std::string_view(text, static_cast<const char*>(end) - text));
}

constexpr std::uint64_t kLongestWaitMs = 0x7FFFFFFF;

} // namespace

std::optional<ServerConfig> MakeServerConfig(const RavelnetServerSettings& settings)
{
    ServerConfig config;
    auto address = ListenAddressOf(settings);
    if (!address)
        return std::nullopt;
    config.listenAddress = *address;
    config.port = settings.port;

    auto allowText = net::ReadEnvironment("RAVELNET_ALLOW");
    auto allow = AllowList::Parse(allowText ? std::string_view(*allowText) : kDefaultAllowList);
    if (!allow)
        return std::nullopt;
    config.allow = std::move(*allow);

    if (!ReadNumber("RAVELNET_PORT", 0, 65535, config.port) ||
        !ReadNumber("RAVELNET_HEADER_TIMEOUT_MS", 1, kLongestWaitMs, config.headerTimeoutMs) ||
        !ReadNumber("RAVELNET_SEND_TIMEOUT_MS", 1, kLongestWaitMs, config.sendTimeoutMs))
        return std::nullopt;
    return config;
}

} // namespace ravelnet
