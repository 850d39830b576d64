// qelsrv update HOST[:PORT]... --game DIR --path 'D:\Games\X\' --version V:
// brings the game folder on each client up to the content of DIR, all
// clients at once, with a progress bar per client.
#include "checklist.h"
#include "commands.h"
#include "file_task_run.h"
#include "update_session.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace qelsrv {

namespace {

struct UpdateOptions {
    RoomOptions room;
    std::string game;
    std::string path;
    std::string version;
    uint32_t taskId = 0;
    bool full = false;
    unsigned timeoutSeconds = 300;
    uint32_t codePage = kDefaultClientCodePage;
};

FileTaskSpec MakeSpec(const UpdateOptions& options, const CheckList& list)
{
    if (options.version.empty())
        RefuseCommand("--version must not be empty: a client without a version marker counts as current for it");
    std::string gamePath =
        NormaliseGamePath(ArgumentsToClientOrRefuse(options.codePage, {{"--path", options.path}})[0], options.codePage);
    if (std::optional<std::string> problem = CheckPathsFit(list, gamePath))
        RefuseCommand(*problem);
    FileTaskSpec spec;
    std::string error;
    if (!MakeUpdateParams(options.taskId, options.version, gamePath, options.full, spec.params, error))
        RefuseCommand(error);
    return spec;
}

void RunUpdate(const UpdateOptions& options)
{
    std::vector<Endpoint> endpoints = RoomTargets(options.room);
    ArgumentsToClientOrRefuse(options.codePage, {{"--path", options.path}});
    CheckList list = BuildListOrRefuse(options.game, options.codePage);
    FileTaskSpec spec = MakeSpec(options, list);

    std::fprintf(options.room.Info(), "update %s to version %s from %s: %zu entries, %u bytes of check list, %zu client%s\n",
                options.path.c_str(), spec.params.gameVersion, options.game.c_str(),
                list.records.size(), list.ByteSize(), endpoints.size(),
                endpoints.size() == 1 ? "" : "s");
    std::fflush(options.room.Info());
    RunOnClients("update", endpoints, spec, list, options.timeoutSeconds, options.room);
}

} // namespace

void RegisterUpdateCommand(CLI::App& app)
{
    auto options = std::make_shared<UpdateOptions>();
    options->taskId = static_cast<uint32_t>(std::time(nullptr));
    CLI::App* command = app.add_subcommand(
        "update", "Update a game on client PCs: send the task (20000) and the check list of the "
                  "game folder, then serve the files each client asks for");
    AddRoomOptions(command, options->room, "Client PCs to update", true);
    command->add_option("--game", options->game, "The server's copy of the game (a folder)")
        ->required()
        ->check(CLI::ExistingDirectory);
    command->add_option("--path", options->path,
                        "The game's folder on the clients, e.g. 'D:\\Games\\X\\' (a missing final "
                        "backslash is added)")
        ->required();
    command->add_option("--version", options->version,
                        "The game's version; a client whose marker holds it declines the task")
        ->required();
    AddCodePageOption(command, options->codePage);
    command->add_option("--task-id", options->taskId,
                        "Task number for the clients' logs (default: the current time in seconds)");
    command->add_flag("--full", options->full,
                      "Send every file, without the clients comparing their local files first");
    command->add_option("--timeout", options->timeoutSeconds,
                        "Seconds a client may stay silent before it counts as failed")
        ->capture_default_str()
        ->check(CLI::Range(1u, 86400u));
    command->callback([options] { RunUpdate(*options); });
}

} // namespace qelsrv
