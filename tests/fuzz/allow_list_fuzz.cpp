// RAVELNET_ALLOW and the server's settings: the text before the first line
// end is the allow list, the next line the listen address, then peers as
// four bytes each.
//
// Checked: every address a valid list names is let in, and its block's ends
// too; a dotted address formats back to what parses to it; the server's
// settings take the list exactly when it parses on its own, and admit the
// same peers.
#include "allow_list.h"
#include "server_config.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

using namespace ravelnet;

namespace {

void Require(bool condition, const char* what, std::string_view input)
{
    if (!condition) {
        std::fprintf(stderr, "allow_list property failed: %s: \"%.*s\"\n", what, static_cast<int>(input.size()),
                     input.data());
        std::abort();
    }
}

std::string_view NextLine(std::string_view& text)
{
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    return line;
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

void CheckEntries(const AllowList& list, std::string_view text)
{
    std::string_view rest = text;
    while (true) {
        const size_t comma = rest.find(',');
        const std::string_view entry = Trimmed(rest.substr(0, comma));
        const size_t slash = entry.find('/');
        const auto address = net::ParseIpv4(entry.substr(0, slash));
        Require(address.has_value(), "a valid list with a bad address", text);
        Require(net::ParseIpv4(net::FormatIpv4(*address)) == address, "an address does not format back", text);
        Require(list.Allows(*address), "a listed address is refused", text);
        if (slash != std::string_view::npos) {
            const unsigned length = static_cast<unsigned>(std::stoul(std::string(entry.substr(slash + 1))));
            const net::Ipv4 mask = length == 0 ? 0 : ~net::Ipv4{0} << (32 - length);
            Require(list.Allows(*address & mask) && list.Allows(*address | ~mask), "a block's ends are refused", text);
        }
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string allowText(NextLine(input));
    const std::string_view listen = NextLine(input);

    if (const auto address = net::ParseIpv4(listen)) {
        Require(net::ParseIpv4(net::FormatIpv4(*address)) == address, "a listen address does not format back", listen);
    }
    const auto list = AllowList::Parse(allowText);
    if (list) {
        CheckEntries(*list, allowText);
    }

    // The variable is one buffer given to putenv once and rewritten in
    // place: setenv keeps every value it was ever given.
    static char variable[8192] = "RAVELNET_ALLOW=";
    constexpr size_t kNameLength = sizeof("RAVELNET_ALLOW=") - 1;
    if (allowText.find('\0') != std::string::npos || kNameLength + allowText.size() >= sizeof(variable)) {
        return 0; // the environment cannot hold it
    }
    RavelnetServerSettings settings{};
    if (!listen.empty()) {
        std::memcpy(settings.listenAddress, listen.data(), std::min(listen.size(), sizeof(settings.listenAddress)));
    }
    settings.port = 19750;
    settings.one = 1;
    unsetenv("RAVELNET_PORT");
    unsetenv("RAVELNET_HEADER_TIMEOUT_MS");
    unsetenv("RAVELNET_SEND_TIMEOUT_MS");
    std::memcpy(variable + kNameLength, allowText.c_str(), allowText.size() + 1);
    putenv(variable);
    const auto config = MakeServerConfig(settings);
    const bool listenValid =
        std::memchr(settings.listenAddress, 0, sizeof(settings.listenAddress)) != nullptr &&
        net::ParseIpv4(std::string_view(settings.listenAddress, strnlen(settings.listenAddress, 16))).has_value();
    Require(config.has_value() == (list.has_value() && listenValid), "settings and the list disagree", allowText);
    if (config) {
        Require(config->port == 19750, "the caller's port", allowText);
        while (input.size() >= 4) {
            net::Ipv4 peer = 0;
            std::memcpy(&peer, input.data(), 4);
            input.remove_prefix(4);
            Require(config->allow.Allows(peer) == list->Allows(peer), "settings admit other peers", allowText);
        }
    }
    return 0;
}
