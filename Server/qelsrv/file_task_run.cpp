#include "file_task_run.h"

#include "client_codepage.h"
#include "update_progress.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

namespace qelsrv {

namespace {

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

} // namespace

void RefuseCommand(const std::string& message)
{
    std::fprintf(stderr, "qelsrv: %s\n", message.c_str());
    throw CLI::RuntimeError(2);
}

void AddCodePageOption(CLI::App* command, uint32_t& codePage)
{
    command
        ->add_option("--codepage", codePage,
                     "The clients' ANSI code page, in which names and paths are sent (936 GBK, 1252 or 65001); "
                     "a name it cannot represent refuses the command")
        ->capture_default_str()
        ->check(CLI::IsMember({936u, 1252u, 65001u}));
}

void AddFileTaskOptions(CLI::App* command, FileTaskOptions& options)
{
    options.taskId = static_cast<uint32_t>(std::time(nullptr));
    AddCodePageOption(command, options.codePage);
    command->add_option("--task-id", options.taskId,
                        "Task number for the clients' logs (default: the current time in seconds)");
    command->add_flag("--full", options.full, "Send every file, without the clients comparing their local files first");
    command
        ->add_option("--timeout", options.timeoutSeconds, "Seconds a client may stay silent before it counts as failed")
        ->capture_default_str()
        ->check(CLI::Range(1u, 86400u));
}

std::vector<std::string> ArgumentsToClientOrRefuse(uint32_t codePage,
                                                   const std::vector<std::pair<std::string, std::string>>& options)
{
    std::vector<std::string> converted;
    std::string lacking;
    for (const auto& [name, value] : options) {
        std::optional<std::string> text = ArgumentToClient(value, codePage);
        if (!text) {
            lacking += (lacking.empty() ? "" : ", ") + name + " '" + value + "'";
            continue;
        }
        converted.push_back(std::move(*text));
    }
    if (!lacking.empty())
        RefuseCommand("nothing sent: the clients' code page " + std::to_string(codePage) +
                      " cannot represent every character of " + lacking);
    return converted;
}

CheckList BuildListOrRefuse(const std::string& folder, uint32_t codePage)
{
    CheckList list = BuildCheckList(folder, codePage);
    for (const CheckListNote& note : list.skipped)
        std::fprintf(stderr, "qelsrv: skipped %s: %s\n", note.path.string().c_str(), note.reason.c_str());
    for (const CheckListNote& note : list.errors)
        std::fprintf(stderr, "qelsrv: %s: %s\n", note.path.string().c_str(), note.reason.c_str());
    if (!list.ok())
        RefuseCommand("nothing sent: " + std::to_string(list.errors.size()) +
                      " entries of the folder cannot be given to a client");
    return list;
}

void RunOnClients(const std::string& command, const std::vector<Endpoint>& endpoints, const FileTaskSpec& spec,
                  const CheckList& list, const FileTaskOptions& options)
{
    const RoomOptions& room = options.room;
    std::FILE* info = room.Info();
    bool interactive = IsAnsiTerminal(info);
    std::vector<std::string> labels;
    labels.reserve(endpoints.size());
    for (const Endpoint& endpoint : endpoints)
        labels.push_back(endpoint.Label());
    ProgressBoard board(info, interactive, labels);
    SendBudget budget(room.bitsPerSecond / 8);
    std::vector<SessionResult> results(endpoints.size());
    std::vector<std::string> outcomes(endpoints.size());
    const auto started = std::chrono::steady_clock::now();

    const RoomTask task = [&](size_t i, const RoomTaskContext& context) {
        SessionOptions sessionOptions;
        sessionOptions.receiveTimeoutMs = options.timeoutSeconds * 1000;
        sessionOptions.connectTimeoutMs = context.connectTimeoutMs;
        sessionOptions.budget = context.budget;
        sessionOptions.interrupter = context.interrupter;
        auto begun = std::chrono::steady_clock::now();
        // The names the clients ask for are in their code page: shown in the terminal's.
        const auto show = [&board, &list, i](const SessionProgress& progress) {
            SessionProgress shown = progress;
            shown.currentFile = ClientToDisplay(progress.currentFile, list.codePage);
            board.Update(i, shown);
        };
        SessionResult result = RunFileTaskSession(endpoints[i], spec, list, show, sessionOptions);
        outcomes[i] = OutcomeLine(spec, result, std::chrono::steady_clock::now() - begun);
        board.Finish(i, outcomes[i]);

        ClientReport report;
        report.result = ResultOf(result.outcome != SessionOutcome::Failed, result.connected);
        if (result.outcome != SessionOutcome::Failed)
            report.outcome = DescribeOutcome(spec, result);
        report.files = result.filesServed;
        report.bytes = result.bytesServed;
        if (result.replied)
            report.reply = result.replyCode;
        report.error = result.error;
        results[i] = std::move(result);
        return report;
    };
    const auto tick = [&](size_t running, size_t finished) {
        std::string footer = std::to_string(running) + " running, " + std::to_string(finished) + " of " +
                             std::to_string(endpoints.size()) + " done";
        if (budget.BytesSent() > 0)
            footer += ", sent " + FormatBytes(budget.BytesSent()) + ", " +
                      FormatBytes(static_cast<uint64_t>(budget.RecentRate())) + "/s";
        board.SetFooter(footer);
    };
    std::vector<ClientReport> reports = RunRoom(endpoints, room, task, budget, tick);
    board.Close();

    for (size_t i = 0; i < endpoints.size(); ++i) {
        if (reports[i].result == ClientResult::NotRun)
            continue;
        bool clientFailed = results[i].outcome == SessionOutcome::Failed;
        // A terminal already shows each outcome on its client's line, cut to
        // the terminal's width: a failure's reason is printed again in full.
        if (!interactive)
            std::fprintf(info, "%s: %s\n", labels[i].c_str(), outcomes[i].c_str());
        else if (clientFailed)
            std::fprintf(stderr, "qelsrv: %s: %s\n", labels[i].c_str(), outcomes[i].c_str());
    }
    std::fflush(info);
    FinishRoom(command, endpoints, reports, room,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), budget);
}

} // namespace qelsrv
