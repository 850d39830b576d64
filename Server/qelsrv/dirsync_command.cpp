// qelsrv dirsync HOST[:PORT]... --dir DIR --base '\games\x' [--sub '\']
// [--exclude-drive L] [--full]: brings the directory on every drive of each
// client that holds it up to the content of DIR. Each client fetches every
// file once, into the copy on its last drive, and copies it to the others.
#include "checklist.h"
#include "commands.h"
#include "dirsync_session.h"
#include "file_task_run.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qelsrv {

namespace {

struct DirsyncOptions {
    RoomOptions room;
    std::string dir;
    std::string base;
    std::string sub = "\\";
    std::string excludeDrive;
    uint32_t taskId = 0;
    bool full = false;
    unsigned timeoutSeconds = 300;
    uint32_t codePage = kDefaultClientCodePage;
};

FileTaskSpec MakeSpec(const DirsyncOptions& options, const CheckList& list)
{
    std::vector<std::string> paths =
        ArgumentsToClientOrRefuse(options.codePage, {{"--base", options.base}, {"--sub", options.sub}});
    DirectorySyncOptions sync;
    sync.taskId = options.taskId;
    sync.basePath = paths[0];
    sync.subPath = paths[1];
    sync.full = options.full;
    sync.codePage = options.codePage;
    if (!options.excludeDrive.empty()) {
        if (options.excludeDrive.size() != 1)
            RefuseCommand("--exclude-drive takes one drive letter");
        sync.excludeDrive = options.excludeDrive[0];
    }
    FileTaskSpec spec;
    std::string error;
    if (!MakeDirectorySyncSpec(sync, spec, error))
        RefuseCommand(error);
    if (std::optional<std::string> problem =
            CheckNamesFit(list, ClientSyncRoot(sync.basePath, sync.subPath, options.codePage)))
        RefuseCommand(*problem);
    return spec;
}

void RunDirsync(const DirsyncOptions& options)
{
    std::vector<Endpoint> endpoints = RoomTargets(options.room);
    ArgumentsToClientOrRefuse(options.codePage, {{"--base", options.base}, {"--sub", options.sub}});
    CheckList list = BuildListOrRefuse(options.dir, options.codePage);
    FileTaskSpec spec = MakeSpec(options, list);

    std::string excluded;
    if (spec.params.excludeDrive != 0)
        excluded = std::string(", not on drive ") + spec.params.excludeDriveLetter;
    std::fprintf(options.room.Info(), "sync %s%s on every drive%s from %s: %zu entries, %u bytes of check list, %zu client%s\n",
                options.base.c_str(), options.sub.c_str(), excluded.c_str(), options.dir.c_str(),
                list.records.size(), list.ByteSize(), endpoints.size(), endpoints.size() == 1 ? "" : "s");
    std::fflush(options.room.Info());
    RunOnClients("dirsync", endpoints, spec, list, options.timeoutSeconds, options.room);
}

} // namespace

void RegisterDirsyncCommand(CLI::App& app)
{
    auto options = std::make_shared<DirsyncOptions>();
    options->taskId = static_cast<uint32_t>(std::time(nullptr));
    CLI::App* command = app.add_subcommand(
        "dirsync", "Sync a directory on every drive of client PCs: send the task (20003) and the check "
                   "list of the folder; each client fetches each file once and copies it to its other "
                   "drives that hold the directory");
    AddRoomOptions(command, options->room, "Client PCs to sync", true);
    command->add_option("--dir", options->dir, "The server's copy of the directory (a folder)")
        ->required()
        ->check(CLI::ExistingDirectory);
    command->add_option("--base", options->base,
                        "The directory on the clients, without a drive ('\\games\\x'): each client "
                        "looks for it on its drives C to Z")
        ->required();
    command->add_option("--sub", options->sub,
                        "Where below that directory the folder goes, with its backslashes "
                        "('\\' for the directory itself, '\\maps\\' for a folder in it)")
        ->capture_default_str();
    command->add_option("--exclude-drive", options->excludeDrive,
                        "A drive letter the clients leave out of their search");
    AddCodePageOption(command, options->codePage);
    command->add_option("--task-id", options->taskId,
                        "Task number for the clients' logs (default: the current time in seconds)");
    command->add_flag("--full", options->full,
                      "Send every file, without the clients comparing their local files first");
    command->add_option("--timeout", options->timeoutSeconds,
                        "Seconds a client may stay silent before it counts as failed")
        ->capture_default_str()
        ->check(CLI::Range(1u, 86400u));
    command->callback([options] { RunDirsync(*options); });
}

} // namespace qelsrv
