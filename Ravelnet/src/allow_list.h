// The IPv4 peers a task server lets in (RAVELNET_ALLOW).
#pragma once

#include "net/socket.h"

#include <optional>
#include <string_view>
#include <vector>

namespace ravelnet {

class AllowList {
public:
    // Comma-separated entries, each a dotted IPv4 address or a CIDR block
    // "a.b.c.d/n" (0 <= n <= 32); blanks around an entry are ignored. Any
    // malformed or empty entry makes the whole list invalid (nullopt): a
    // typo must not end up letting everybody in, nor locking everybody out
    // unnoticed.
    static std::optional<AllowList> Parse(std::string_view text);

    bool Allows(net::Ipv4 peer) const;

private:
    struct Block {
        net::Ipv4 network;
        net::Ipv4 mask;
    };
    std::vector<Block> blocks_;
};

inline constexpr std::string_view kDefaultAllowList = "127.0.0.0/8";

} // namespace ravelnet
