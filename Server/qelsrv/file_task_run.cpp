#include "file_task_run.h"

#include "client_codepage.h"
#include "room_board.h"
#include "update_progress.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
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

BoardState BoardStateOf(ClientResult result)
{
    switch (result) {
    case ClientResult::Ok:
        return BoardState::Done;
    case ClientResult::Current:
        return BoardState::Current;
    case ClientResult::Failed:
        return BoardState::Failed;
    case ClientResult::Unreachable:
        return BoardState::Unreachable;
    case ClientResult::NotRun:
        break;
    }
    return BoardState::Waiting;
}

// What the run shows while it goes: on a terminal the room's board (a bar
// per client with --verbose); otherwise a line per requested file and, in a
// long run, a line about the whole run every few seconds.
class LiveView {
public:
    LiveView(std::FILE* out, bool terminal, bool verbose, const std::vector<std::string>& labels)
        : clientCount_(labels.size())
    {
        if (terminal && !verbose)
            roomBoard_.emplace(out, labels);
        else
            clientBoard_.emplace(out, terminal, labels);
    }

    bool HasRoomBoard() const { return roomBoard_.has_value(); }

    void Start(size_t client)
    {
        if (roomBoard_)
            roomBoard_->Start(client);
    }
    void Update(size_t client, const SessionProgress& progress)
    {
        if (roomBoard_)
            roomBoard_->Update(client, progress);
        else
            clientBoard_->Update(client, progress);
    }
    void Finish(size_t client, ClientResult result, const std::string& outcome, const std::string& error)
    {
        if (roomBoard_)
            roomBoard_->Finish(client, BoardStateOf(result), error);
        else
            clientBoard_->Finish(client, outcome);
    }
    void Tick(size_t running, size_t finished, SendBudget& budget)
    {
        if (roomBoard_) {
            roomBoard_->SetRate({budget.BytesSent(), budget.RecentRate()});
            return;
        }
        std::string footer = std::to_string(running) + " running, " + std::to_string(finished) + " of " +
                             std::to_string(clientCount_) + " done";
        if (budget.BytesSent() > 0)
            footer += ", sent " + FormatBytes(budget.BytesSent()) + ", " +
                      FormatBytes(static_cast<uint64_t>(budget.RecentRate())) + "/s";
        clientBoard_->SetFooter(footer);
    }
    void Note(const std::string& line)
    {
        if (roomBoard_)
            roomBoard_->Note(line);
    }
    void Close()
    {
        if (roomBoard_)
            roomBoard_->Close();
        else
            clientBoard_->Close();
    }

private:
    size_t clientCount_;
    std::optional<RoomBoard> roomBoard_;
    std::optional<ProgressBoard> clientBoard_;
};

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
    command->add_flag("--verbose", options.verbose,
                      "On a terminal, a progress bar per client instead of the room's board of totals and the "
                      "slowest and failed clients");
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
    const bool terminal = IsAnsiTerminal(info);
    std::vector<std::string> labels;
    labels.reserve(endpoints.size());
    for (const Endpoint& endpoint : endpoints)
        labels.push_back(endpoint.Label());
    LiveView view(info, terminal, options.verbose, labels);
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
        view.Start(i);
        auto begun = std::chrono::steady_clock::now();
        // The names the clients ask for are in their code page: shown in the terminal's.
        const auto show = [&view, &list, i](const SessionProgress& progress) {
            SessionProgress shown = progress;
            shown.currentFile = ClientToDisplay(progress.currentFile, list.codePage);
            view.Update(i, shown);
        };
        SessionResult result = RunFileTaskSession(endpoints[i], spec, list, show, sessionOptions);
        outcomes[i] = OutcomeLine(spec, result, std::chrono::steady_clock::now() - begun);

        ClientReport report;
        report.result = ResultOf(result.outcome != SessionOutcome::Failed, result.connected);
        // Declined because it holds the version already: current.
        if (result.outcome == SessionOutcome::Declined && spec.declinedCode == kResultVersionsAgree)
            report.result = ClientResult::Current;
        if (result.outcome != SessionOutcome::Failed)
            report.outcome = DescribeOutcome(spec, result);
        report.files = result.filesServed;
        report.bytes = result.bytesServed;
        if (result.replied)
            report.reply = result.replyCode;
        report.error = result.error;
        view.Finish(i, report.result, outcomes[i], result.error);
        results[i] = std::move(result);
        return report;
    };
    RoomDisplay display;
    display.tick = [&](size_t running, size_t finished) { view.Tick(running, finished, budget); };
    if (view.HasRoomBoard())
        display.announce = [&](const std::string& line) { view.Note(line); };
    std::vector<ClientReport> reports = RunRoom(endpoints, room, task, budget, display);
    view.Close();

    for (size_t i = 0; i < endpoints.size(); ++i) {
        if (reports[i].result == ClientResult::NotRun)
            continue;
        bool clientFailed = results[i].outcome == SessionOutcome::Failed;
        // A terminal shows each outcome cut to the terminal's width, or only
        // the last failures: a failure's reason is printed again in full.
        if (!terminal)
            std::fprintf(info, "%s: %s\n", labels[i].c_str(), outcomes[i].c_str());
        else if (clientFailed)
            std::fprintf(stderr, "qelsrv: %s: %s\n", labels[i].c_str(), outcomes[i].c_str());
    }
    std::fflush(info);
    FinishRoom(command, endpoints, reports, room,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), budget);
}

} // namespace qelsrv
