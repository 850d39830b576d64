// What a task server is opened with: the caller's settings record, adjusted
// by the environment.
#pragma once

#include "allow_list.h"
#include "ravelnet.h"

#include <cstdint>
#include <optional>

namespace ravelnet {

inline constexpr std::uint32_t kDefaultHeaderTimeoutMs = 30000;
inline constexpr std::uint32_t kDefaultSendTimeoutMs = 300000;

struct ServerConfig {
    net::Ipv4 listenAddress = 0;
    std::uint16_t port = 0;
    AllowList allow;
    std::uint32_t headerTimeoutMs = kDefaultHeaderTimeoutMs;
    std::uint32_t sendTimeoutMs = kDefaultSendTimeoutMs;
};

// Environment, read at every open:
//   RAVELNET_PORT               port of every server opened (0: any free port)
//   RAVELNET_ALLOW              peers let in, see AllowList (default 127.0.0.0/8)
//   RAVELNET_HEADER_TIMEOUT_MS  time a new connection has for its header
//   RAVELNET_SEND_TIMEOUT_MS    time a send may go without progress
// nullopt when the listen address or any variable set is malformed.
std::optional<ServerConfig> MakeServerConfig(const RavelnetServerSettings& settings);

} // namespace ravelnet
