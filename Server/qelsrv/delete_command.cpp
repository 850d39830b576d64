// qelsrv delete HOST[:PORT]... --path 'D:\games\x': has every client remove
// the game folder from each of its drives but the system drive (task 20001)
// and prints each client's reply.
#include "commands.h"
#include "maintenance_tasks.h"

#include "maintenance/GamePath.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qelsrv {

namespace {

struct DeleteOptions {
    std::vector<std::string> clients;
    std::string path;
    unsigned timeoutSeconds = 1800;
};

[[noreturn]] void Refuse(const std::string& message)
{
    std::fprintf(stderr, "qelsrv: %s\n", message.c_str());
    throw CLI::RuntimeError(2);
}

std::vector<Endpoint> ParseClientsOrRefuse(const std::vector<std::string>& texts)
{
    std::vector<Endpoint> endpoints;
    std::string error;
    if (!ParseEndpoints(texts, endpoints, error))
        Refuse(error);
    return endpoints;
}

void RunDelete(const DeleteOptions& options)
{
    const std::vector<Endpoint> endpoints = ParseClientsOrRefuse(options.clients);
    // The clients refuse such a path on every drive and still answer 1: say
    // so here instead of reporting a deletion that did not happen.
    if (!IsValidSecondLevelPath(options.path.c_str()))
        Refuse("'" + options.path +
               "' is not a folder at least two levels below a drive's root (like D:\\games\\x); "
               "the clients would delete nothing");
    MaintenanceOptions taskOptions;
    taskOptions.receiveTimeoutMs = options.timeoutSeconds * 1000;
    const std::vector<DeleteGameResult> results = RunOnEveryClient<DeleteGameResult>(
        endpoints, [&](const Endpoint& endpoint) { return RunDeleteGameTask(endpoint, options.path, taskOptions); });

    size_t failed = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        std::printf("%s: %s\n", endpoints[i].Label().c_str(), DescribeDeleteOutcome(results[i]).c_str());
        failed += results[i].ok ? 0 : 1;
    }
    std::fflush(stdout);
    if (failed > 0) {
        std::fprintf(stderr, "qelsrv: %zu of %zu clients failed\n", failed, results.size());
        throw CLI::RuntimeError(1);
    }
}

} // namespace

void RegisterDeleteCommand(CLI::App& app)
{
    auto options = std::make_shared<DeleteOptions>();
    CLI::App* command = app.add_subcommand(
        "delete", "Delete a game folder from every drive of client PCs but their system drive (task 20001)");
    command->add_option("HOST[:PORT]", options->clients, "Client PCs, at once (default port 19750)")
        ->required();
    command->add_option("--path", options->path,
                        "The game's folder, e.g. 'D:\\games\\x': its drive letter is replaced by each of "
                        "the client's drives; it must lie at least two levels below the root")
        ->required();
    command->add_option("--timeout", options->timeoutSeconds,
                        "Seconds to wait for a client's reply, which comes when it has removed the folder "
                        "from all its drives")
        ->capture_default_str()
        ->check(CLI::Range(1u, 86400u));
    command->callback([options] { RunDelete(*options); });
}

} // namespace qelsrv
