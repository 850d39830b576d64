// The clients of a command: host names and addresses as the operator writes
// them, on the command line or in a clients file, expanded to one endpoint
// per client PC.
//
//   HOST, HOST:PORT               one client (default port 19750)
//   A.B.C.D/N[:PORT]              a CIDR block; for N <= 30 without its
//                                 network and broadcast addresses
//   A.B.C.D-E[:PORT]              the last number running from D to E
//   A.B.C.D-A.B.C.E[:PORT]        every address from the first to the second
//
// Nothing here touches the network.
#pragma once

#include "update_session.h" // Endpoint

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qelsrv {

// More clients than this in one command is a mistake (a /8 typed for a /24).
constexpr size_t kMaxTargets = 65536;

// Appends the endpoints `text` stands for to `endpoints`; false with a
// message when it is none of the forms above.
bool ExpandTarget(std::string_view text, std::vector<Endpoint>& endpoints, std::string& error);

// The targets a clients file names: one per line, "#" starts a comment to the
// end of the line, blanks around a target and blank lines are ignored.
std::vector<std::string> ClientsFileTargets(std::string_view text);

// Reads a clients file; false with a message when it cannot be read.
bool ReadClientsFile(const std::string& path, std::vector<std::string>& targets, std::string& error);

// Every target expanded, in order, each HOST:PORT kept at its first
// occurrence only. False with the first bad target's message, or when there
// are no clients or more than kMaxTargets.
bool CollectTargets(const std::vector<std::string>& texts, std::vector<Endpoint>& endpoints, std::string& error);

} // namespace qelsrv
