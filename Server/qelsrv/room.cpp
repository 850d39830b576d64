#include "room.h"

#include "file_task_run.h"
#include "targets.h"
#include "update_progress.h"

#include "protocol/TaskRecords.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>

namespace qelsrv {

namespace {

// Ctrl+C while the clients are being served; read by the pool.
std::atomic<int> g_stopRequests{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int)
{
    g_stopRequests.fetch_add(1);
    // Windows resets the handler before calling it.
    std::signal(SIGINT, OnInterrupt);
}

// Ctrl+C handling for the life of the object.
class InterruptCatcher {
public:
    InterruptCatcher()
    {
        g_stopRequests = 0;
        previous_ = std::signal(SIGINT, OnInterrupt);
    }
    ~InterruptCatcher() { std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_); }
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

private:
    void (*previous_)(int) = SIG_DFL;
};

// The "result" of the JSON document: one token per result.
const char* JsonResultWord(ClientResult result)
{
    switch (result) {
    case ClientResult::Ok:
        return "ok";
    case ClientResult::Current:
        return "current";
    case ClientResult::Failed:
        return "failed";
    case ClientResult::Unreachable:
        return "unreachable";
    case ClientResult::NotRun:
        break;
    }
    return "not-run";
}

// The result column of the table: a client already current is "ok" there
// (its outcome says so).
const char* TableResultWord(ClientResult result)
{
    if (result == ClientResult::Current)
        return "ok";
    return result == ClientResult::NotRun ? "not run" : JsonResultWord(result);
}

std::string Fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Rate(double bytesPerSecond)
{
    return FormatBytes(static_cast<uint64_t>(bytesPerSecond)) + "/s";
}

std::string Cell(const std::string& text, size_t width, bool right)
{
    if (text.size() >= width)
        return text;
    const std::string pad(width - text.size(), ' ');
    return right ? pad + text : text + pad;
}

// `ok` counts every client that succeeded, `current` those among them
// that were current already.
struct Totals {
    size_t ok = 0, current = 0, failed = 0, unreachable = 0, notRun = 0;
    uint64_t files = 0, bytes = 0;
};

Totals Count(const std::vector<ClientReport>& reports)
{
    Totals totals;
    for (const ClientReport& report : reports) {
        totals.ok += Succeeded(report.result) ? 1 : 0;
        totals.current += report.result == ClientResult::Current ? 1 : 0;
        totals.failed += report.result == ClientResult::Failed ? 1 : 0;
        totals.unreachable += report.result == ClientResult::Unreachable ? 1 : 0;
        totals.notRun += report.result == ClientResult::NotRun ? 1 : 0;
        totals.files += report.files;
        totals.bytes += report.bytes;
    }
    return totals;
}

// Refuses --failed with the command line, before anything is sent, when
// the list could not be written there; a file made for the check is
// removed again.
std::string CheckWritable(const std::string& path)
{
    std::error_code ignored;
    const bool existed = std::filesystem::exists(path, ignored);
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr)
        return "cannot write " + path + ": " + std::strerror(errno);
    std::fclose(file);
    if (!existed)
        std::filesystem::remove(path, ignored);
    return {};
}

bool WriteTextFile(const std::string& path, const std::string& text, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
    const int writeError = errno;
    const bool closed = std::fclose(file) == 0;
    if (written && closed)
        return true;
    error = std::strerror(written ? errno : writeError);
    return false;
}

// An error as one line of a comment.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    return text;
}

// The clients to run again (failed, unreachable or not run), one "HOST:PORT"
// a line as --clients reads them, each with its result in a comment.
std::string RerunList(const std::string& command, const std::vector<Endpoint>& endpoints,
                      const std::vector<ClientReport>& reports)
{
    std::string rows;
    size_t count = 0;
    for (size_t i = 0; i < reports.size(); ++i) {
        if (Succeeded(reports[i].result))
            continue;
        ++count;
        rows += endpoints[i].Label() + "  # " + TableResultWord(reports[i].result) + ": " + OneLine(reports[i].error) +
                "\n";
    }
    return "# qelsrv " + command + ": " + std::to_string(count) + " of " + std::to_string(reports.size()) +
           " clients to run again (failed, unreachable or not run)\n" + rows;
}

} // namespace

void AddRoomOptions(CLI::App* command, RoomOptions& options, const std::string& hostsHelp, bool withBandwidth)
{
    command->add_option("HOST[:PORT]", options.targets,
                        hostsHelp + " (default port 19750); also IPv4 ranges: 192.168.1.0/24 (without its "
                                    "network and broadcast addresses), 192.168.1.20-80, each with an optional :PORT");
    command
        ->add_option("--clients", options.clientsFile,
                     "A file of clients: one HOST[:PORT] or range a line, '#' starts a comment")
        ->check(CLI::ExistingFile);
    command->add_option("--parallel", options.parallel, "Clients served at once; the others wait their turn")
        ->capture_default_str()
        ->check(CLI::Range(size_t{1}, size_t{1024}));
    command
        ->add_option("--connect-timeout", options.connectTimeoutSeconds,
                     "Seconds a client has to accept the connection before it counts as unreachable")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 600.0));
    command
        ->add_option("--retry", options.retries,
                     "Run a failed or unreachable client's task again, up to N more times, after the others")
        ->capture_default_str()
        ->check(CLI::Range(0u, 100u));
    command->add_flag("--json", options.json,
                      "Print the summary as one JSON document on standard output; progress goes to standard error");
    command
        ->add_option("--failed", options.failedFile,
                     "Write the clients that failed, were unreachable or did not run to FILE, one a line as "
                     "--clients reads them, to run them again")
        ->check(CLI::Validator(CheckWritable, "FILE"));
    if (withBandwidth) {
        command
            ->add_option("--bwlimit", options.bitsPerSecond,
                         "Cap on what the tool sends to all clients together, in BITS per second, shared evenly "
                         "among the running transfers; suffixes K, M, G are powers of 1000 (400M = 400 Mbit/s "
                         "= 50 MB/s); default none")
            ->transform(CLI::AsNumberWithUnit(
                std::map<std::string, uint64_t>{{"k", 1000}, {"m", 1000 * 1000}, {"g", 1000 * 1000 * 1000}},
                CLI::AsNumberWithUnit::CASE_INSENSITIVE, "RATE"))
            ->check(CLI::Range(uint64_t{8000}, uint64_t{1} << 50));
    }
}

std::vector<Endpoint> RoomTargets(const RoomOptions& options)
{
    std::vector<std::string> texts = options.targets;
    std::string error;
    if (!options.clientsFile.empty() && !ReadClientsFile(options.clientsFile, texts, error))
        RefuseCommand(error);
    std::vector<Endpoint> endpoints;
    if (!CollectTargets(texts, endpoints, error))
        RefuseCommand(error);
    return endpoints;
}

std::string ReplyMeaning(uint32_t code)
{
    switch (code) {
    case kResultOk:
        return "accepted";
    case kResultStartupStdException:
        return "the task failed to start";
    case kResultVersionsAgree:
        return "already current";
    case kResultCheckListUnmappable:
        return "check list cannot be mapped";
    case kResultDirectoryNotFound:
        return "directory on no drive";
    case static_cast<uint32_t>(kResultHelperLibraryMissing):
        return "helper library missing";
    default:
        break;
    }
    return "unknown code";
}

std::vector<ClientReport> RunRoom(const std::vector<Endpoint>& endpoints, const RoomOptions& options,
                                  const RoomTask& task, SendBudget& budget, const RoomDisplay& display)
{
    std::vector<ClientReport> reports(endpoints.size());
    Interrupter interrupter;
    RoomTaskContext context;
    context.connectTimeoutMs = options.ConnectTimeoutMs();
    context.interrupter = &interrupter;
    context.budget = &budget;
    std::atomic<size_t> running{0};
    std::atomic<size_t> finished{0};

    PoolOptions pool;
    pool.parallel = options.parallel;
    pool.retries = options.retries;
    pool.interrupter = &interrupter;
    int announced = 0;
    pool.stopRequests = [] { return g_stopRequests.load(); };
    pool.tick = [&] {
        const int requests = g_stopRequests.load();
        if (requests > announced) {
            announced = requests;
            const std::string line =
                requests == 1 ? "qelsrv: stopping: no further client starts; Ctrl+C again ends the running ones"
                              : "qelsrv: ending the running clients";
            if (display.announce)
                display.announce(line);
            else
                std::fprintf(stderr, "%s\n", line.c_str());
        }
        if (display.tick)
            display.tick(running.load(), finished.load());
    };

    InterruptCatcher catcher;
    PoolOutcome outcome = RunPool(
        endpoints.size(),
        [&](size_t index, unsigned attempt) {
            ++running;
            const auto started = std::chrono::steady_clock::now();
            ClientReport report = task(index, context);
            report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            report.attempts = attempt;
            if (!Succeeded(report.result) && interrupter.Interrupted())
                report.error = "ended by Ctrl+C" + (report.error.empty() ? "" : " (" + report.error + ")");
            const bool ok = Succeeded(report.result);
            reports[index] = std::move(report);
            --running;
            ++finished;
            return ok;
        },
        pool);
    for (size_t i = 0; i < reports.size(); ++i) {
        if (outcome.attempts[i] == 0) {
            reports[i].result = ClientResult::NotRun;
            reports[i].error = "not started: stopped by Ctrl+C";
        }
    }
    return reports;
}

std::string SummaryTable(const std::vector<Endpoint>& endpoints, const std::vector<ClientReport>& reports,
                         double seconds, const SendBudget& budget)
{
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"client", "result", "files", "bytes", "time", "reply", "outcome or error"});
    for (size_t i = 0; i < reports.size(); ++i) {
        const ClientReport& report = reports[i];
        std::string reply = report.reply ? std::to_string(*report.reply) + " " + ReplyMeaning(*report.reply) : "-";
        std::string text = Succeeded(report.result) ? report.outcome : report.error;
        if (report.attempts > 1)
            text += " (attempt " + std::to_string(report.attempts) + ")";
        rows.push_back({endpoints[i].Label(), TableResultWord(report.result), std::to_string(report.files),
                        FormatBytes(report.bytes), Fixed(report.seconds, 1) + " s", reply, text});
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    std::string table;
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            const bool right = c >= 2 && c <= 4;
            const bool last = c + 1 == row.size();
            line += last ? row[c] : Cell(row[c], widths[c], right) + "  ";
        }
        table += line + "\n";
    }
    const Totals totals = Count(reports);
    table += "total: " + std::to_string(reports.size()) + (reports.size() == 1 ? " client, " : " clients, ") +
             std::to_string(totals.ok) + " ok, " + std::to_string(totals.failed) + " failed, " +
             std::to_string(totals.unreachable) + " unreachable";
    if (totals.notRun > 0)
        table += ", " + std::to_string(totals.notRun) + " not run";
    table += "; " + std::to_string(totals.files) + " files, " + FormatBytes(totals.bytes) + " in " + Fixed(seconds, 1) +
             " s";
    if (budget.BytesSent() > 0)
        table += "; sent " + FormatBytes(budget.BytesSent()) + " at " + Rate(budget.AverageRate());
    return table + "\n";
}

nlohmann::json SummaryJson(const std::string& command, const std::vector<Endpoint>& endpoints,
                           const std::vector<ClientReport>& reports, double seconds, const SendBudget& budget)
{
    nlohmann::json clients = nlohmann::json::array();
    for (size_t i = 0; i < reports.size(); ++i) {
        const ClientReport& report = reports[i];
        nlohmann::json row = {
            {"client", endpoints[i].Label()}, {"result", JsonResultWord(report.result)},
            {"ok", Succeeded(report.result)}, {"files", report.files},
            {"bytes", report.bytes},          {"seconds", report.seconds},
            {"attempts", report.attempts},
        };
        if (!report.outcome.empty())
            row["outcome"] = report.outcome;
        if (report.reply) {
            row["reply"] = *report.reply;
            row["replyMeaning"] = ReplyMeaning(*report.reply);
        } else {
            row["reply"] = nullptr;
        }
        if (!Succeeded(report.result))
            row["error"] = report.error;
        if (report.details.is_object())
            row.update(report.details);
        clients.push_back(std::move(row));
    }
    const Totals totals = Count(reports);
    nlohmann::json document = {
        {"command", command},
        {"clients", std::move(clients)},
        {"totals",
         {{"clients", reports.size()},
          {"ok", totals.ok},
          {"current", totals.current},
          {"failed", totals.failed},
          {"unreachable", totals.unreachable},
          {"notRun", totals.notRun},
          {"files", totals.files},
          {"bytes", totals.bytes},
          {"seconds", seconds},
          {"bytesSent", budget.BytesSent()},
          {"sendingSeconds", budget.SendingSeconds()},
          {"sendRate", budget.AverageRate()}}},
    };
    if (budget.BytesPerSecond() > 0)
        document["totals"]["bwlimitBytesPerSecond"] = budget.BytesPerSecond();
    return document;
}

void FinishRoom(const std::string& command, const std::vector<Endpoint>& endpoints,
                const std::vector<ClientReport>& reports, const RoomOptions& options, double seconds,
                const SendBudget& budget)
{
    if (options.json) {
        std::fputs((SummaryJson(command, endpoints, reports, seconds, budget)
                        .dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
                    "\n")
                       .c_str(),
                   stdout);
    } else {
        std::fputs(("\n" + SummaryTable(endpoints, reports, seconds, budget)).c_str(), stdout);
    }
    std::fflush(stdout);
    const Totals totals = Count(reports);
    const size_t bad = reports.size() - totals.ok;
    bool listWritten = true;
    if (!options.failedFile.empty()) {
        std::string error;
        listWritten = WriteTextFile(options.failedFile, RerunList(command, endpoints, reports), error);
        if (!listWritten)
            std::fprintf(stderr, "qelsrv: cannot write the clients to run again to %s: %s\n",
                         options.failedFile.c_str(), error.c_str());
        else if (bad > 0)
            std::fprintf(stderr, "qelsrv: %zu client%s to run again in %s (qelsrv %s --clients %s ...)\n", bad,
                         bad == 1 ? "" : "s", options.failedFile.c_str(), command.c_str(), options.failedFile.c_str());
    }
    if (bad > 0) {
        std::fprintf(stderr, "qelsrv: %zu of %zu clients failed%s\n", bad, reports.size(),
                     totals.unreachable > 0 ? " or were unreachable" : "");
        throw CLI::RuntimeError(1);
    }
    if (!listWritten)
        throw CLI::RuntimeError(1);
}

} // namespace qelsrv
