#include "room_board.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace qelsrv {
namespace {

using Clock = std::chrono::steady_clock;

// Redraws at most this often; the pool's ticks draw what changed between.
constexpr std::chrono::milliseconds kRedrawInterval{100};
// A client running for less than this is new, not slow.
constexpr std::chrono::seconds kSettling{1};
// Failed clients get at most this many lines while running ones fill the rest.
constexpr size_t kFailedLinesWhileRunning = 2;
// Wider labels (long host names) are cut; addresses with ports fit.
constexpr size_t kMaxLabelWidth = 24;

double Seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

std::string Fit(const std::string& text, size_t width)
{
    return text.size() <= width ? text : text.substr(0, width);
}

std::string PadRight(const std::string& text, size_t width)
{
    return text.size() >= width ? text.substr(0, width) : text + std::string(width - text.size(), ' ');
}

std::string PadLeft(const std::string& text, size_t width)
{
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

struct StateCounts {
    size_t waiting = 0, running = 0, done = 0, current = 0, failed = 0, unreachable = 0;
};

StateCounts CountStates(const std::vector<BoardClient>& clients)
{
    StateCounts counts;
    for (const BoardClient& client : clients) {
        switch (client.state) {
        case BoardState::Waiting:
            ++counts.waiting;
            break;
        case BoardState::Running:
            ++counts.running;
            break;
        case BoardState::Done:
            ++counts.done;
            break;
        case BoardState::Current:
            ++counts.current;
            break;
        case BoardState::Failed:
            ++counts.failed;
            break;
        case BoardState::Unreachable:
            ++counts.unreachable;
            break;
        }
    }
    return counts;
}

std::string TotalsLine(const std::vector<BoardClient>& clients)
{
    const StateCounts counts = CountStates(clients);
    return std::to_string(clients.size()) + (clients.size() == 1 ? " client: " : " clients: ") +
           std::to_string(counts.waiting) + " waiting, " + std::to_string(counts.running) + " running, " +
           std::to_string(counts.done) + " done, " + std::to_string(counts.current) + " current, " +
           std::to_string(counts.failed) + " failed, " + std::to_string(counts.unreachable) + " unreachable";
}

std::string RateLine(const std::vector<BoardClient>& clients, const BoardRate& rate, double elapsed)
{
    const StateCounts counts = CountStates(clients);
    if (counts.waiting + counts.running == 0)
        return "finished in " + FormatDuration(elapsed) + ", sent " + FormatBytes(rate.bytesSent);
    std::string line = "elapsed " + FormatDuration(elapsed) + ", sent " + FormatBytes(rate.bytesSent);
    if (rate.recentBytesPerSecond > 0)
        line += " at " + FormatBytes(static_cast<uint64_t>(rate.recentBytesPerSecond)) + "/s";
    const std::optional<double> left = SecondsLeft(clients, rate, elapsed);
    line += left ? ", about " + FormatDuration(*left) + " left" : ", time left unknown";
    return line;
}

// Bytes per second a running client has fetched since its task began.
double ClientRate(const BoardClient& client, Clock::time_point now)
{
    const double elapsed = Seconds(now - client.started);
    if (!client.progress || elapsed <= 0)
        return 0;
    return static_cast<double>(client.progress->bytesDone) / elapsed;
}

// The running clients, slowest first: those past their first second by
// their rate, the longest running first among equals; the newest last.
std::vector<size_t> SlowestRunning(const std::vector<BoardClient>& clients, Clock::time_point now)
{
    std::vector<size_t> running;
    for (size_t i = 0; i < clients.size(); ++i)
        if (clients[i].state == BoardState::Running)
            running.push_back(i);
    const auto settled = [&](size_t i) { return now - clients[i].started >= kSettling; };
    std::stable_sort(running.begin(), running.end(), [&](size_t a, size_t b) {
        if (settled(a) != settled(b))
            return settled(a);
        const double rateA = ClientRate(clients[a], now);
        const double rateB = ClientRate(clients[b], now);
        if (rateA != rateB)
            return rateA < rateB;
        return clients[a].started < clients[b].started;
    });
    return running;
}

// The clients that failed or were unreachable, the last one first.
std::vector<size_t> LastFailed(const std::vector<BoardClient>& clients)
{
    std::vector<size_t> failed;
    for (size_t i = 0; i < clients.size(); ++i)
        if (clients[i].state == BoardState::Failed || clients[i].state == BoardState::Unreachable)
            failed.push_back(i);
    std::stable_sort(failed.begin(), failed.end(),
                     [&](size_t a, size_t b) { return clients[a].ended > clients[b].ended; });
    return failed;
}

std::string RunningLine(const BoardClient& client, size_t labelWidth, Clock::time_point now, size_t width)
{
    const std::string label = PadRight(client.label, labelWidth);
    if (!client.progress)
        return Fit(label + "  waiting for the client, " + FormatDuration(Seconds(now - client.started)), width);
    const std::string rate = PadLeft(FormatBytes(static_cast<uint64_t>(ClientRate(client, now))) + "/s", 11);
    return RenderProgressLine(label + "  " + rate, *client.progress, width);
}

std::string FailedLine(const BoardClient& client, size_t labelWidth, size_t width)
{
    const char* word = client.state == BoardState::Unreachable ? "unreachable: " : "failed: ";
    return Fit(PadRight(client.label, labelWidth) + "  " + word + client.error, width);
}

} // namespace

std::string FormatDuration(double seconds)
{
    const long long whole = seconds <= 0 ? 0 : std::llround(seconds);
    char text[48];
    if (whole < 60)
        std::snprintf(text, sizeof text, "%lld s", whole);
    else if (whole < 3600)
        std::snprintf(text, sizeof text, "%lld min %02lld s", whole / 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%lld h %02lld min", whole / 3600, whole % 3600 / 60);
    return text;
}

std::optional<double> SecondsLeft(const std::vector<BoardClient>& clients, const BoardRate& rate, double elapsedSeconds)
{
    double bytesLeft = 0;
    double knownTotals = 0;
    size_t known = 0;
    size_t unheard = 0;
    size_t finished = 0;
    size_t unfinished = 0;
    for (const BoardClient& client : clients) {
        if (client.state == BoardState::Waiting || client.state == BoardState::Running) {
            ++unfinished;
            if (client.state == BoardState::Running && client.totalKnown && client.progress) {
                bytesLeft += static_cast<double>(client.bytesToUpdate -
                                                 std::min(client.bytesToUpdate, client.progress->bytesDone));
                knownTotals += static_cast<double>(client.bytesToUpdate);
                ++known;
            } else {
                ++unheard;
            }
            continue;
        }
        ++finished;
        if (client.state == BoardState::Done || client.state == BoardState::Current) {
            knownTotals += static_cast<double>(client.bytesToUpdate);
            ++known;
        }
    }
    if (unfinished == 0)
        return 0.0;
    if (known > 0)
        bytesLeft += static_cast<double>(unheard) * knownTotals / static_cast<double>(known);
    if (rate.recentBytesPerSecond > 0 && bytesLeft > 0)
        return bytesLeft / rate.recentBytesPerSecond;
    // Nothing to send that is known: the pace at which clients finish.
    if (finished > 0 && elapsedSeconds > 0)
        return elapsedSeconds * static_cast<double>(unfinished) / static_cast<double>(finished);
    return std::nullopt;
}

std::vector<std::string> RenderRoomBoard(const std::vector<BoardClient>& clients, const BoardRate& rate,
                                         Clock::time_point begun, Clock::time_point now, size_t width)
{
    std::vector<std::string> lines;
    lines.push_back(Fit(TotalsLine(clients), width));
    lines.push_back(Fit(RateLine(clients, rate, Seconds(now - begun)), width));

    size_t labelWidth = 0;
    for (const BoardClient& client : clients)
        labelWidth = std::max(labelWidth, std::min(client.label.size(), kMaxLabelWidth));
    const size_t slots = std::min(clients.size(), kBoardClientLines);
    const std::vector<size_t> running = SlowestRunning(clients, now);
    const std::vector<size_t> failed = LastFailed(clients);
    // Running clients first, leaving a few lines to the last failures; the
    // lines one kind does not need go to the other.
    const size_t failedKept = std::min(failed.size(), kFailedLinesWhileRunning);
    const size_t runningShown = std::min(running.size(), slots - std::min(slots, failedKept));
    const size_t failedShown = std::min(failed.size(), slots - runningShown);
    for (size_t i = 0; i < runningShown; ++i)
        lines.push_back(RunningLine(clients[running[i]], labelWidth, now, width));
    for (size_t i = 0; i < failedShown; ++i)
        lines.push_back(FailedLine(clients[failed[i]], labelWidth, width));
    lines.resize(2 + slots);
    return lines;
}

RoomBoard::RoomBoard(std::FILE* out, const std::vector<std::string>& labels) : out_(out), begun_(Clock::now())
{
    clients_.reserve(labels.size());
    for (const std::string& label : labels) {
        BoardClient client;
        client.label = label;
        clients_.push_back(std::move(client));
    }
}

void RoomBoard::Start(size_t client)
{
    std::lock_guard lock(mutex_);
    BoardClient& entry = clients_.at(client);
    entry.state = BoardState::Running;
    entry.started = Clock::now();
    entry.progress.reset();
    entry.error.clear();
    DrawLocked(false);
}

void RoomBoard::Update(size_t client, const SessionProgress& progress)
{
    std::lock_guard lock(mutex_);
    BoardClient& entry = clients_.at(client);
    entry.progress = progress;
    entry.bytesToUpdate = progress.bytesToUpdate;
    entry.totalKnown = true;
    DrawLocked(false);
}

void RoomBoard::Finish(size_t client, BoardState state, const std::string& error)
{
    std::lock_guard lock(mutex_);
    BoardClient& entry = clients_.at(client);
    entry.state = state;
    entry.error = error;
    entry.ended = Clock::now();
    entry.progress.reset();
    if (!entry.totalKnown)
        entry.bytesToUpdate = 0; // it had nothing to fetch
    DrawLocked(false);
}

void RoomBoard::SetRate(const BoardRate& rate)
{
    std::lock_guard lock(mutex_);
    rate_ = rate;
    DrawLocked(false);
}

void RoomBoard::Note(const std::string& line)
{
    std::lock_guard lock(mutex_);
    DrawLocked(true, line);
}

void RoomBoard::Close()
{
    std::lock_guard lock(mutex_);
    DrawLocked(true);
}

void RoomBoard::DrawLocked(bool force, const std::string& note)
{
    const auto now = Clock::now();
    if (!force && drawnLines_ > 0 && now - lastDraw_ < kRedrawInterval)
        return;
    lastDraw_ = now;
    const size_t width = TerminalWidth(out_);
    // Keep the last column free: writing into it makes some terminals wrap.
    const size_t usable = width > 1 ? width - 1 : width;
    std::string frame;
    if (drawnLines_ > 0)
        frame += "\x1b[" + std::to_string(drawnLines_) + "A";
    if (!note.empty())
        frame += "\r\x1b[2K" + note + "\n";
    const std::vector<std::string> lines = RenderRoomBoard(clients_, rate_, begun_, now, usable);
    for (const std::string& line : lines)
        frame += "\r\x1b[2K" + line + "\n";
    drawnLines_ = lines.size();
    std::fputs(frame.c_str(), out_);
    std::fflush(out_);
}

} // namespace qelsrv
