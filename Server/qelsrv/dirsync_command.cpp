// qelsrv dirsync HOST[:PORT]... --dir DIR --base '\games\x' [--sub '\']
// [--exclude-drive L] [--full]: brings the directory on every drive of each
// client that holds it up to the content of DIR. Each client fetches every
// file once, into the copy on its last drive, and copies it to the others.
#include "checklist.h"
#include "commands.h"
#include "dirsync_session.h"
#include "file_task_run.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qelsrv {

namespace {

struct DirsyncOptions {
    FileTaskOptions task;
    std::string dir;
    std::string base;
    std::string sub = "\\";
    std::string excludeDrive;
};

FileTaskSpec MakeSpec(const DirsyncOptions& options, const CheckList& list)
{
    const uint32_t codePage = options.task.codePage;
    std::vector<std::string> paths =
        ArgumentsToClientOrRefuse(codePage, {{"--base", options.base}, {"--sub", options.sub}});
    DirectorySyncOptions sync;
    sync.taskId = options.task.taskId;
    sync.basePath = paths[0];
    sync.subPath = paths[1];
    sync.full = options.task.full;
    sync.codePage = codePage;
    if (!options.excludeDrive.empty()) {
        if (options.excludeDrive.size() != 1)
            RefuseCommand("--exclude-drive takes one drive letter");
        sync.excludeDrive = options.excludeDrive[0];
    }
    FileTaskSpec spec;
    std::string error;
    if (!MakeDirectorySyncSpec(sync, spec, error))
        RefuseCommand(error);
    if (std::optional<std::string> problem = CheckNamesFit(list, ClientSyncRoot(sync.basePath, sync.subPath, codePage)))
        RefuseCommand(*problem);
    return spec;
}

void RunDirsync(const DirsyncOptions& options)
{
    std::vector<Endpoint> endpoints = RoomTargets(options.task.room);
    ArgumentsToClientOrRefuse(options.task.codePage, {{"--base", options.base}, {"--sub", options.sub}});
    CheckList list = BuildListOrRefuse(options.dir, options.task.codePage);
    FileTaskSpec spec = MakeSpec(options, list);

    std::string excluded;
    if (spec.params.excludeDrive != 0)
        excluded = std::string(", not on drive ") + spec.params.excludeDriveLetter;
    std::fprintf(options.task.room.Info(),
                 "sync %s%s on every drive%s from %s: %zu entries, %u bytes of check list, %zu client%s\n",
                 options.base.c_str(), options.sub.c_str(), excluded.c_str(), options.dir.c_str(), list.records.size(),
                 list.ByteSize(), endpoints.size(), endpoints.size() == 1 ? "" : "s");
    std::fflush(options.task.room.Info());
    RunOnClients("dirsync", endpoints, spec, list, options.task);
}

} // namespace

void RegisterDirsyncCommand(CLI::App& app)
{
    auto options = std::make_shared<DirsyncOptions>();
    CLI::App* command = app.add_subcommand(
        "dirsync", "Sync a directory on every drive of client PCs: send the task (20003) and the check "
                   "list of the folder; each client fetches each file once and copies it to its other "
                   "drives that hold the directory");
    AddRoomOptions(command, options->task.room, "Client PCs to sync", true);
    command->add_option("--dir", options->dir, "The server's copy of the directory (a folder)")
        ->required()
        ->check(CLI::ExistingDirectory);
    command
        ->add_option("--base", options->base,
                     "The directory on the clients, without a drive ('\\games\\x'): each client "
                     "looks for it on its drives C to Z")
        ->required();
    command
        ->add_option("--sub", options->sub,
                     "Where below that directory the folder goes, with its backslashes "
                     "('\\' for the directory itself, '\\maps\\' for a folder in it)")
        ->capture_default_str();
    command->add_option("--exclude-drive", options->excludeDrive,
                        "A drive letter the clients leave out of their search");
    AddFileTaskOptions(command, options->task);
    command->callback([options] { RunDirsync(*options); });
}

} // namespace qelsrv
