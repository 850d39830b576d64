// qelsrv update HOST[:PORT]... --game DIR --path 'D:\Games\X\' --version V:
// brings the game folder on each client up to the content of DIR, all
// clients at once, with a progress bar per client.
#include "checklist.h"
#include "commands.h"
#include "file_task_run.h"
#include "update_session.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qelsrv {

namespace {

struct UpdateOptions {
    FileTaskOptions task;
    std::string game;
    std::string path;
    std::string version;
};

FileTaskSpec MakeSpec(const UpdateOptions& options, const CheckList& list)
{
    if (options.version.empty())
        RefuseCommand("--version must not be empty: a client without a version marker counts as current for it");
    const uint32_t codePage = options.task.codePage;
    std::string gamePath =
        NormaliseGamePath(ArgumentsToClientOrRefuse(codePage, {{"--path", options.path}})[0], codePage);
    if (std::optional<std::string> problem = CheckPathsFit(list, gamePath))
        RefuseCommand(*problem);
    FileTaskSpec spec;
    std::string error;
    if (!MakeUpdateParams(options.task.taskId, options.version, gamePath, options.task.full, spec.params, error))
        RefuseCommand(error);
    return spec;
}

void RunUpdate(const UpdateOptions& options)
{
    std::vector<Endpoint> endpoints = RoomTargets(options.task.room);
    ArgumentsToClientOrRefuse(options.task.codePage, {{"--path", options.path}});
    CheckList list = BuildListOrRefuse(options.game, options.task.codePage);
    FileTaskSpec spec = MakeSpec(options, list);

    std::fprintf(options.task.room.Info(),
                 "update %s to version %s from %s: %zu entries, %u bytes of check list, %zu client%s\n",
                 options.path.c_str(), spec.params.gameVersion, options.game.c_str(), list.records.size(),
                 list.ByteSize(), endpoints.size(), endpoints.size() == 1 ? "" : "s");
    std::fflush(options.task.room.Info());
    RunOnClients("update", endpoints, spec, list, options.task);
}

} // namespace

void RegisterUpdateCommand(CLI::App& app)
{
    auto options = std::make_shared<UpdateOptions>();
    CLI::App* command =
        app.add_subcommand("update", "Update a game on client PCs: send the task (20000) and the check list of the "
                                     "game folder, then serve the files each client asks for");
    AddRoomOptions(command, options->task.room, "Client PCs to update", true);
    command->add_option("--game", options->game, "The server's copy of the game (a folder)")
        ->required()
        ->check(CLI::ExistingDirectory);
    command
        ->add_option("--path", options->path,
                     "The game's folder on the clients, e.g. 'D:\\Games\\X\\' (a missing final "
                     "backslash is added)")
        ->required();
    command
        ->add_option("--version", options->version,
                     "The game's version; a client whose marker holds it declines the task")
        ->required();
    AddFileTaskOptions(command, options->task);
    command->callback([options] { RunUpdate(*options); });
}

} // namespace qelsrv
