// qelsrv diskinfo HOST[:PORT]... [--json]: asks the clients for their fixed
// drives (task 20002) and prints each drive's size, free space and use, then
// the summary of all clients.
#include "commands.h"
#include "file_task_run.h"
#include "maintenance_tasks.h"
#include "room.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qelsrv {

namespace {

struct DiskInfoOptions {
    RoomOptions room;
    unsigned timeoutSeconds = 60;
};

nlohmann::json DrivesJson(const std::vector<DriveSpace>& drives)
{
    nlohmann::json list = nlohmann::json::array();
    for (const DriveSpace& drive : drives) {
        // One decimal, as the table shows it.
        const double used = std::round(UsedPercent(drive) * 10) / 10;
        list.push_back({{"drive", std::string(1, drive.letter)},
                        {"totalBytes", drive.totalBytes},
                        {"freeBytes", drive.freeBytes},
                        {"usedPercent", used}});
    }
    return list;
}

void RunDiskInfo(const DiskInfoOptions& options)
{
    const std::vector<Endpoint> endpoints = RoomTargets(options.room);
    SendBudget budget;
    std::vector<DiskInfoResult> results(endpoints.size());
    const auto started = std::chrono::steady_clock::now();
    const std::vector<ClientReport> reports = RunRoom(
        endpoints, options.room,
        [&](size_t i, const RoomTaskContext& context) {
            const MaintenanceOptions taskOptions = MaintenanceTaskOptions(options.timeoutSeconds, context);
            DiskInfoResult result = RunDiskInfoTask(endpoints[i], taskOptions);
            ClientReport report;
            report.result = ResultOf(result.ok, result.connected);
            if (result.ok)
                report.outcome =
                    std::to_string(result.drives.size()) + " fixed drive" + (result.drives.size() == 1 ? "" : "s");
            if (result.replied)
                report.reply = result.reply.resultCode;
            report.error = result.error;
            if (result.ok)
                report.details = {{"drives", DrivesJson(result.drives)}};
            results[i] = std::move(result);
            return report;
        },
        budget);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    if (!options.room.json) {
        for (size_t i = 0; i < results.size(); ++i) {
            if (reports[i].result == ClientResult::Ok)
                std::printf("%s\n%s", endpoints[i].Label().c_str(), FormatDriveTable(results[i].drives).c_str());
            else if (reports[i].result != ClientResult::NotRun)
                std::printf("%s: failed: %s\n", endpoints[i].Label().c_str(), results[i].error.c_str());
        }
    }
    FinishRoom("diskinfo", endpoints, reports, options.room, seconds, budget);
}

} // namespace

void RegisterDiskInfoCommand(CLI::App& app)
{
    auto options = std::make_shared<DiskInfoOptions>();
    CLI::App* command = app.add_subcommand(
        "diskinfo", "Show the fixed drives of client PCs with their size, free space and use (task 20002)");
    AddRoomOptions(command, options->room, "Client PCs to ask", false);
    command
        ->add_option("--timeout", options->timeoutSeconds,
                     "Seconds a client may stay silent before it counts as failed")
        ->capture_default_str()
        ->check(CLI::Range(1u, 86400u));
    command->callback([options] { RunDiskInfo(*options); });
}

} // namespace qelsrv
