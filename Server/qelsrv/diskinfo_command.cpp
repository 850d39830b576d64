// qelsrv diskinfo HOST[:PORT]... [--json]: asks every client at once for its
// fixed drives (task 20002) and prints each drive's size, free space and use.
#include "commands.h"
#include "maintenance_tasks.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qelsrv {

namespace {

struct DiskInfoOptions {
    std::vector<std::string> clients;
    bool json = false;
    unsigned timeoutSeconds = 60;
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

void PrintTables(const std::vector<Endpoint>& endpoints, const std::vector<DiskInfoResult>& results)
{
    for (size_t i = 0; i < results.size(); ++i) {
        if (results[i].ok)
            std::printf("%s\n%s", endpoints[i].Label().c_str(), FormatDriveTable(results[i].drives).c_str());
        else
            std::printf("%s: failed: %s\n", endpoints[i].Label().c_str(), results[i].error.c_str());
    }
}

void RunDiskInfo(const DiskInfoOptions& options)
{
    const std::vector<Endpoint> endpoints = ParseClientsOrRefuse(options.clients);
    MaintenanceOptions taskOptions;
    taskOptions.receiveTimeoutMs = options.timeoutSeconds * 1000;
    const std::vector<DiskInfoResult> results = RunOnEveryClient<DiskInfoResult>(
        endpoints, [&](const Endpoint& endpoint) { return RunDiskInfoTask(endpoint, taskOptions); });

    if (options.json)
        std::fputs(DiskInfoJson(endpoints, results).c_str(), stdout);
    else
        PrintTables(endpoints, results);
    std::fflush(stdout);

    size_t failed = 0;
    for (const DiskInfoResult& result : results)
        failed += result.ok ? 0 : 1;
    if (failed > 0) {
        std::fprintf(stderr, "qelsrv: %zu of %zu clients failed\n", failed, results.size());
        throw CLI::RuntimeError(1);
    }
}

} // namespace

void RegisterDiskInfoCommand(CLI::App& app)
{
    auto options = std::make_shared<DiskInfoOptions>();
    CLI::App* command = app.add_subcommand(
        "diskinfo", "Show the fixed drives of client PCs with their size, free space and use (task 20002)");
    command->add_option("HOST[:PORT]", options->clients, "Client PCs to ask, at once (default port 19750)")
        ->required();
    command->add_flag("--json", options->json, "Print one JSON document instead of tables");
    command->add_option("--timeout", options->timeoutSeconds,
                        "Seconds a client may stay silent before it counts as failed")
        ->capture_default_str()
        ->check(CLI::Range(1u, 86400u));
    command->callback([options] { RunDiskInfo(*options); });
}

} // namespace qelsrv
