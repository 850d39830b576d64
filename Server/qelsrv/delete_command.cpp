// qelsrv delete HOST[:PORT]... --path 'D:\games\x': has every client remove
// the game folder from each of its drives but the system drive (task 20001)
// and prints each client's reply.
#include "commands.h"
#include "file_task_run.h"
#include "maintenance_tasks.h"
#include "room.h"

#include "protocol/DeleteGame.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qelsrv {

namespace {

struct DeleteOptions {
    RoomOptions room;
    std::string path;
    unsigned timeoutSeconds = 1800;
    uint32_t codePage = kDefaultClientCodePage;
};

void RunDelete(const DeleteOptions& options)
{
    const std::vector<Endpoint> endpoints = RoomTargets(options.room);
    const std::string clientPath = ArgumentsToClientOrRefuse(options.codePage, {{"--path", options.path}})[0];
    // The clients refuse such a path on every drive and still answer 1: say
    // so here instead of reporting a deletion that did not happen.
    if (!IsValidSecondLevelPath(clientPath.c_str(), ClientNames(options.codePage)))
        RefuseCommand("'" + options.path +
                      "' is not a folder at least two levels below a drive's root (like D:\\games\\x); "
                      "the clients would delete nothing");
    SendBudget budget;
    std::vector<DeleteGameResult> results(endpoints.size());
    const auto started = std::chrono::steady_clock::now();
    const std::vector<ClientReport> reports = RunRoom(
        endpoints, options.room,
        [&](size_t i, const RoomTaskContext& context) {
            const MaintenanceOptions taskOptions = MaintenanceTaskOptions(options.timeoutSeconds, context);
            DeleteGameResult result = RunDeleteGameTask(endpoints[i], clientPath, taskOptions);
            ClientReport report;
            report.result = ResultOf(result.ok, result.connected);
            if (result.ok)
                report.outcome = "done";
            if (result.replied)
                report.reply = result.reply.resultCode;
            report.error = result.error;
            results[i] = std::move(result);
            return report;
        },
        budget);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::FILE* info = options.room.Info();
    for (size_t i = 0; i < results.size(); ++i) {
        if (reports[i].result != ClientResult::NotRun)
            std::fprintf(info, "%s: %s\n", endpoints[i].Label().c_str(), DescribeDeleteOutcome(results[i]).c_str());
    }
    std::fflush(info);
    FinishRoom("delete", endpoints, reports, options.room, seconds, budget);
}

} // namespace

void RegisterDeleteCommand(CLI::App& app)
{
    auto options = std::make_shared<DeleteOptions>();
    CLI::App* command = app.add_subcommand(
        "delete", "Delete a game folder from every drive of client PCs but their system drive (task 20001)");
    AddRoomOptions(command, options->room, "Client PCs", false);
    command
        ->add_option("--path", options->path,
                     "The game's folder, e.g. 'D:\\games\\x': its drive letter is replaced by each of "
                     "the client's drives; it must lie at least two levels below the root")
        ->required();
    AddCodePageOption(command, options->codePage);
    command
        ->add_option("--timeout", options->timeoutSeconds,
                     "Seconds to wait for a client's reply, which comes when it has removed the folder "
                     "from all its drives")
        ->capture_default_str()
        ->check(CLI::Range(1u, 86400u));
    command->callback([options] { RunDelete(*options); });
}

} // namespace qelsrv
