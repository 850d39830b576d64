#include "file_task_run.h"

#include "update_progress.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
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

std::vector<Endpoint> ParseClients(const std::vector<std::string>& texts)
{
    std::vector<Endpoint> endpoints;
    for (const std::string& text : texts) {
        Endpoint endpoint;
        std::string error;
        if (!ParseEndpoint(text, endpoint, error))
            RefuseCommand(error);
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
        RefuseCommand("nothing sent: " + std::to_string(list.errors.size()) +
                      " entries of the folder cannot be given to a client");
    return list;
}

void RunOnClients(const std::vector<Endpoint>& endpoints, const FileTaskSpec& spec, const CheckList& list,
                  unsigned timeoutSeconds)
{
    bool interactive = IsAnsiTerminal(stdout);
    std::vector<std::string> labels;
    for (const Endpoint& endpoint : endpoints)
        labels.push_back(endpoint.Label());
    ProgressBoard board(stdout, interactive, labels);
    SessionOptions sessionOptions;
    sessionOptions.receiveTimeoutMs = timeoutSeconds * 1000;

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
        bool clientFailed = results[i].outcome == SessionOutcome::Failed;
        // A terminal already shows each outcome on its client's line, cut to
        // the terminal's width: a failure's reason is printed again in full.
        if (!interactive)
            std::printf("%s: %s\n", labels[i].c_str(), outcomes[i].c_str());
        else if (clientFailed)
            std::fprintf(stderr, "qelsrv: %s: %s\n", labels[i].c_str(), outcomes[i].c_str());
        failed += clientFailed ? 1 : 0;
    }
    std::fflush(stdout);
    if (failed > 0) {
        std::fprintf(stderr, "qelsrv: %zu of %zu clients failed\n", failed, endpoints.size());
        throw CLI::RuntimeError(1);
    }
}

} // namespace qelsrv
