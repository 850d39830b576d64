#include "allow_list.h"

namespace ravelnet {
namespace {

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

std::optional<unsigned> ParsePrefixLength(std::string_view text)
{
    if (text.empty() || text.size() > 2)
        return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 32)
        return std::nullopt;
    return value;
}

net::Ipv4 MaskOf(unsigned prefixLength)
{
    return prefixLength == 0 ? 0 : ~net::Ipv4{0} << (32 - prefixLength);
}

} // namespace

std::optional<AllowList> AllowList::Parse(std::string_view text)
{
    AllowList list;
    for (;;) {
        std::size_t comma = text.find(',');
        std::string_view entry = TrimBlanks(text.substr(0, comma));
        std::size_t slash = entry.find('/');
        auto address = net::ParseIpv4(entry.substr(0, slash));
        if (!address)
            return std::nullopt;
        unsigned prefixLength = 32;
        if (slash != std::string_view::npos) {
            auto parsed = ParsePrefixLength(entry.substr(slash + 1));
            if (!parsed)
                return std::nullopt;
            prefixLength = *parsed;
        }
        // "10.1.2.3/8" is read as the block 10.0.0.0/8.
        net::Ipv4 mask = MaskOf(prefixLength);
        list.blocks_.push_back({*address & mask, mask});
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return list;
}

bool AllowList::Allows(net::Ipv4 peer) const
{
    for (const Block& block : blocks_) {
        if ((peer & block.mask) == block.network)
            return true;
    }
    return false;
}

} // namespace ravelnet
