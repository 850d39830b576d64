// What every command that talks to clients shares: whom to ask (hosts,
// address ranges, a clients file), how many at once, how long to try to
// connect, how often to retry, the cap on what is sent, Ctrl+C, and the
// summary at the end (a table, or one JSON document with --json) with the
// exit status: 0 when every client succeeded, 1 when any failed or was
// unreachable (2, a refused command line, comes before anything is sent),
// and the list of the clients to run again (--failed).
#pragma once

#include "maintenance_tasks.h"
#include "room_run.h"
#include "update_session.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qelsrv {

struct RoomOptions {
    std::vector<std::string> targets;
    std::string clientsFile;
    size_t parallel = 32;
    double connectTimeoutSeconds = 3;
    unsigned retries = 0;
    bool json = false;
    uint64_t bitsPerSecond = 0; // --bwlimit; 0: none
    std::string failedFile;     // --failed: where the clients to run again go

    // Where what is not the result goes: standard error with --json (standard
    // output then holds the JSON document alone), standard output otherwise.
    std::FILE* Info() const { return json ? stderr : stdout; }
    uint32_t ConnectTimeoutMs() const { return static_cast<uint32_t>(connectTimeoutSeconds * 1000); }
};

// Adds the positional HOST[:PORT]... and --clients, --parallel,
// --connect-timeout, --retry, --json, --failed; --bwlimit when `withBandwidth`.
void AddRoomOptions(CLI::App* command, RoomOptions& options, const std::string& hostsHelp, bool withBandwidth);

// Every client of the command line and the clients file, expanded and without
// duplicates; refuses the command (status 2) when there is none or a target
// is malformed.
std::vector<Endpoint> RoomTargets(const RoomOptions& options);

// Current: the client declined an update because it holds the version
// already; a success, as Ok is.
enum class ClientResult { Ok, Current, Failed, Unreachable, NotRun };

inline bool Succeeded(ClientResult result)
{
    return result == ClientResult::Ok || result == ClientResult::Current;
}

// A task that did not succeed failed when the client was reached, else the
// client was unreachable.
inline ClientResult ResultOf(bool succeeded, bool connected)
{
    return succeeded ? ClientResult::Ok : connected ? ClientResult::Failed : ClientResult::Unreachable;
}

// One client's row of the summary. (The check below takes the JSON value's
// destructor for one that may throw; it does not.)
struct ClientReport { // NOLINT(bugprone-exception-escape)
    ClientResult result = ClientResult::NotRun;
    std::string outcome; // "updated 3 files", "already current", "done", ...
    uint32_t files = 0;  // files fetched from the tool
    uint64_t bytes = 0;  // bytes of those files
    double seconds = 0;  // of the last attempt
    unsigned attempts = 0;
    std::optional<uint32_t> reply; // the client's reply code
    std::string error;
    nlohmann::json details; // more for the JSON document (diskinfo: the drives)
};

// The reply code in words ("accepted", "already current", ...).
std::string ReplyMeaning(uint32_t code);

// What a task gets to run against one client.
struct RoomTaskContext {
    uint32_t connectTimeoutMs = 3000;
    Interrupter* interrupter = nullptr;
    SendBudget* budget = nullptr;
};

// The options of one maintenance task of the room: the client may stay
// silent `timeoutSeconds`, and the room sets the connect time and Ctrl+C.
inline MaintenanceOptions MaintenanceTaskOptions(unsigned timeoutSeconds, const RoomTaskContext& context)
{
    MaintenanceOptions options;
    options.receiveTimeoutMs = timeoutSeconds * 1000;
    options.connectTimeoutMs = context.connectTimeoutMs;
    options.interrupter = context.interrupter;
    return options;
}

// What a run shows while it goes: `tick` is called a few times a second,
// `announce` gets what the operator's Ctrl+C does (standard error when unset).
struct RoomDisplay {
    std::function<void(size_t running, size_t finished)> tick;
    std::function<void(const std::string& line)> announce;
};

// Runs `task` against every client as the options say (at most --parallel at
// once, failed ones again up to --retry times, Ctrl+C stops starting new ones
// and a second Ctrl+C ends the running ones). Returns each client's last
// report, in the clients' order.
using RoomTask = std::function<ClientReport(size_t index, const RoomTaskContext& context)>;
std::vector<ClientReport> RunRoom(const std::vector<Endpoint>& endpoints, const RoomOptions& options,
                                  const RoomTask& task, SendBudget& budget, const RoomDisplay& display = {});

// The summary as a table: one row per client, then the totals.
std::string SummaryTable(const std::vector<Endpoint>& endpoints, const std::vector<ClientReport>& reports,
                         double seconds, const SendBudget& budget);
// The same as one JSON document.
nlohmann::json SummaryJson(const std::string& command, const std::vector<Endpoint>& endpoints,
                           const std::vector<ClientReport>& reports, double seconds, const SendBudget& budget);

// Prints the summary (table on standard output, or the JSON document), writes
// the --failed list, and ends the command with status 1 when any client did
// not succeed (or the list could not be written).
void FinishRoom(const std::string& command, const std::vector<Endpoint>& endpoints,
                const std::vector<ClientReport>& reports, const RoomOptions& options, double seconds,
                const SendBudget& budget);

} // namespace qelsrv
