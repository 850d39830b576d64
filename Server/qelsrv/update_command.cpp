// qelsrv update HOST[:PORT]... --game DIR --path 'D:\Games\X\' --version V:
// brings the game folder on each client up to the content of DIR, all
// clients at once, with a progress bar per client.
#include "checklist.h"
#include "commands.h"
#include "update_progress.h"
#include "update_session.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qelsrv {

namespace {

struct UpdateOptions {
    std::vector<std::string> clients;
    std::string game;
    std::string path;
    std::string version;
    uint32_t taskId = 0;
    bool full = false;
    unsigned timeoutSeconds = 300;
};

[[noreturn]] void Refuse(const std::string& message)
{
    std::fprintf(stderr, "qelsrv: %s\n", message.c_str());
    throw CLI::RuntimeError(2);
}

std::vector<Endpoint> ParseClients(const std::vector<std::string>& texts)
{
    std::vector<Endpoint> endpoints;
    for (const std::string& text : texts) {
        Endpoint endpoint;
        std::string error;
        if (!ParseEndpoint(text, endpoint, error))
            Refuse(error);
        endpoints.push_back(endpoint);
    }
    return endpoints;
}

CheckList BuildListOrRefuse(const std::string& folder)
{
    CheckList list = BuildCheckList(folder);
    for (const CheckListNote& note : list.skipped)
        std::fprintf(stderr, "qelsrv: skipped %s: %s\n", note.path.string().c_str(), note.reason.c_str());
    for (const CheckListNote& note : list.errors)
        std::fprintf(stderr, "qelsrv: %s: %s\n", note.path.string().c_str(), note.reason.c_str());
    if (!list.ok())
        Refuse("nothing sent: " + std::to_string(list.errors.size()) +
               " entries of the game folder cannot be given to a client");
    return list;
}

FileTaskSpec MakeSpec(const UpdateOptions& options, const CheckList& list)
{
    if (options.version.empty())
        Refuse("--version must not be empty: a client without a version marker counts as current for it");
    std::string gamePath = NormaliseGamePath(options.path);
    if (std::optional<std::string> problem = CheckPathsFit(list, gamePath))
        Refuse(*problem);
    FileTaskSpec spec;
    std::string error;
    if (!MakeUpdateParams(options.taskId, options.version, gamePath, options.full, spec.params, error))
        Refuse(error);
    return spec;
}

std::string Seconds(std::chrono::steady_clock::duration elapsed)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(elapsed).count());
    return text;
}

std::string OutcomeLine(const FileTaskSpec& spec, const SessionResult& result,
                        std::chrono::steady_clock::duration elapsed)
{
    std::string line = DescribeOutcome(spec, result);
    if (result.outcome == SessionOutcome::Completed)
        line += " (" + FormatBytes(result.bytesServed) + " sent in " + Seconds(elapsed) + ")";
    return line;
}

void RunUpdate(const UpdateOptions& options)
{
    std::vector<Endpoint> endpoints = ParseClients(options.clients);
    CheckList list = BuildListOrRefuse(options.game);
    FileTaskSpec spec = MakeSpec(options, list);

    bool interactive = IsAnsiTerminal(stdout);
    std::printf("update %s to version %s from %s: %zu entries, %u bytes of check list, %zu client%s\n",
                spec.params.gamePath, spec.params.gameVersion, options.game.c_str(),
                list.records.size(), list.ByteSize(), endpoints.size(),
                endpoints.size() == 1 ? "" : "s");
    std::fflush(stdout);

    std::vector<std::string> labels;
    for (const Endpoint& endpoint : endpoints)
        labels.push_back(endpoint.Label());
    ProgressBoard board(stdout, interactive, labels);
    SessionOptions sessionOptions;
    sessionOptions.receiveTimeoutMs = options.timeoutSeconds * 1000;

    std::vector<SessionResult> results(endpoints.size());
    std::vector<std::string> outcomes(endpoints.size());
    std::vector<std::thread> sessions;
    for (size_t i = 0; i < endpoints.size(); ++i) {
        sessions.emplace_back([&, i] {
            auto started = std::chrono::steady_clock::now();
            results[i] = RunFileTaskSession(
                endpoints[i], spec, list,
                [&board, i](const SessionProgress& progress) { board.Update(i, progress); },
                sessionOptions);
            outcomes[i] = OutcomeLine(spec, results[i], std::chrono::steady_clock::now() - started);
            board.Finish(i, outcomes[i]);
        });
    }
    for (std::thread& session : sessions)
        session.join();
    board.Close();

    size_t failed = 0;
    for (size_t i = 0; i < endpoints.size(); ++i) {
        // A terminal already shows each outcome on its client's line.
        if (!interactive)
            std::printf("%s: %s\n", labels[i].c_str(), outcomes[i].c_str());
        failed += results[i].outcome == SessionOutcome::Failed ? 1 : 0;
    }
    std::fflush(stdout);
    if (failed > 0) {
        std::fprintf(stderr, "qelsrv: %zu of %zu clients failed\n", failed, endpoints.size());
        throw CLI::RuntimeError(1);
    }
}

} // namespace

void RegisterUpdateCommand(CLI::App& app)
{
    auto options = std::make_shared<UpdateOptions>();
    options->taskId = static_cast<uint32_t>(std::time(nullptr));
    CLI::App* command = app.add_subcommand(
        "update", "Update a game on client PCs: send the task (20000) and the check list of the "
                  "game folder, then serve the files each client asks for");
    command->add_option("HOST[:PORT]", options->clients,
                        "Client PCs to update, at once (default port 19750)")
        ->required();
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
