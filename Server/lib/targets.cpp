#include "targets.h"

#include "net/socket.h"

#include <charconv>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <unordered_set>

namespace qelsrv {
namespace {

namespace net = ravelnet::net;

bool ParseNumber(std::string_view text, unsigned& value)
{
    auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && code == std::errc{} && end == text.data() + text.size();
}

bool AppendRange(uint64_t first, uint64_t last, uint16_t port, std::vector<Endpoint>& endpoints, std::string_view text,
                 std::string& error)
{
    if (last < first) {
        error = "the range " + std::string(text) + " ends before it begins";
        return false;
    }
    if (last - first + 1 > kMaxTargets) {
        error = "the range " + std::string(text) + " holds more than " + std::to_string(kMaxTargets) + " addresses";
        return false;
    }
    for (uint64_t address = first; address <= last; ++address)
        endpoints.push_back({net::FormatIpv4(static_cast<net::Ipv4>(address)), port});
    return true;
}

std::string_view Trimmed(std::string_view text)
{
    constexpr std::string_view kBlanks = " \t\r\n\v\f";
    size_t start = text.find_first_not_of(kBlanks);
    if (start == std::string_view::npos)
        return {};
    return text.substr(start, text.find_last_not_of(kBlanks) - start + 1);
}

} // namespace

bool ExpandTarget(std::string_view text, std::vector<Endpoint>& endpoints, std::string& error)
{
    Endpoint single;
    if (!ParseEndpoint(text, single, error))
        return false;
    const std::string& host = single.host;

    if (size_t slash = host.find('/'); slash != std::string::npos) {
        std::optional<net::Ipv4> base = net::ParseIpv4(std::string_view(host).substr(0, slash));
        unsigned prefix = 0;
        if (!base || !ParseNumber(std::string_view(host).substr(slash + 1), prefix) || prefix > 32) {
            error = "not an IPv4 block (A.B.C.D/N, N from 0 to 32): " + std::string(text);
            return false;
        }
        const uint64_t size = uint64_t{1} << (32 - prefix);
        const uint64_t network = *base & ~(size - 1);
        // A block of four or more addresses has a network and a broadcast
        // address that are no PC's.
        const uint64_t skip = prefix <= 30 ? 1 : 0;
        return AppendRange(network + skip, network + size - 1 - skip, single.port, endpoints, text, error);
    }

    if (size_t dash = host.find('-'); dash != std::string::npos) {
        std::optional<net::Ipv4> first = net::ParseIpv4(std::string_view(host).substr(0, dash));
        if (first) {
            std::string_view rest = std::string_view(host).substr(dash + 1);
            std::optional<net::Ipv4> last = net::ParseIpv4(rest);
            unsigned lastNumber = 0;
            if (!last && ParseNumber(rest, lastNumber) && lastNumber <= 255)
                last = (*first & 0xFFFFFF00u) | lastNumber;
            if (!last) {
                error = "not an IPv4 range (A.B.C.D-E or A.B.C.D-A.B.C.E): " + std::string(text);
                return false;
            }
            return AppendRange(*first, *last, single.port, endpoints, text, error);
        }
        // Otherwise a host name with a dash in it ("pc-01").
    }
    endpoints.push_back(single);
    return true;
}

std::vector<std::string> ClientsFileTargets(std::string_view text)
{
    std::vector<std::string> targets;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        line = Trimmed(line.substr(0, line.find('#')));
        if (!line.empty())
            targets.emplace_back(line);
    }
    return targets;
}

bool ReadClientsFile(const std::string& path, std::vector<std::string>& targets, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    if (file)
        content << file.rdbuf();
    if (!file || file.bad()) {
        error = "cannot read the clients file " + path;
        return false;
    }
    for (std::string& target : ClientsFileTargets(content.str()))
        targets.push_back(std::move(target));
    return true;
}

bool CollectTargets(const std::vector<std::string>& texts, std::vector<Endpoint>& endpoints, std::string& error)
{
    endpoints.clear();
    std::unordered_set<std::string> seen;
    std::vector<Endpoint> expanded;
    for (const std::string& text : texts) {
        expanded.clear();
        if (!ExpandTarget(text, expanded, error))
            return false;
        for (Endpoint& endpoint : expanded) {
            if (!seen.insert(endpoint.Label()).second)
                continue;
            if (endpoints.size() == kMaxTargets) {
                error = "more than " + std::to_string(kMaxTargets) + " clients";
                return false;
            }
            endpoints.push_back(std::move(endpoint));
        }
    }
    if (endpoints.empty()) {
        error = "no clients: name them (HOST[:PORT], an address range) or give --clients FILE";
        return false;
    }
    return true;
}

} // namespace qelsrv
