// The live board of a room on a terminal: a view of fixed height, whatever
// the number of clients. Two lines of totals (clients by state; what was
// sent, the aggregate rate and an estimate of the time left), then a few
// lines of clients: the ones running slowest and the ones that failed last.
// Drawn in place with ANSI escapes; a note printed through the board scrolls
// above it. (`--verbose` keeps the bar per client of ProgressBoard instead.)
#pragma once

#include "update_progress.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qelsrv {

enum class BoardState { Waiting, Running, Done, Current, Failed, Unreachable };

// One client as the board knows it.
struct BoardClient {
    std::string label;
    BoardState state = BoardState::Waiting;
    std::chrono::steady_clock::time_point started{}; // of the running attempt
    std::optional<SessionProgress> progress;         // its latest request, while it runs
    uint64_t bytesToUpdate = 0;                      // its total, once a request told it (done: what it fetched)
    bool totalKnown = false;
    std::string error;                             // why it failed or was unreachable
    std::chrono::steady_clock::time_point ended{}; // when it failed
};

// What the whole run has sent, for the second line.
struct BoardRate {
    uint64_t bytesSent = 0;
    double recentBytesPerSecond = 0;
};

// At most this many client lines under the totals.
inline constexpr size_t kBoardClientLines = 6;

// The board's lines for `clients` at `now`, each at most `width` columns:
// always 2 + min(clients, kBoardClientLines) lines, blank ones included.
std::vector<std::string> RenderRoomBoard(const std::vector<BoardClient>& clients, const BoardRate& rate,
                                         std::chrono::steady_clock::time_point begun,
                                         std::chrono::steady_clock::time_point now, size_t width);

// The estimate of the time left in seconds, or nullopt while there is
// nothing to base it on: the bytes still to send (what the running clients
// still lack, and for each client not yet heard from the mean of the totals
// known) at the recent rate, and no less than the finished clients' pace
// promises for the unfinished ones.
std::optional<double> SecondsLeft(const std::vector<BoardClient>& clients, const BoardRate& rate,
                                  double elapsedSeconds);

// "0 s", "45 s", "2 min 05 s", "1 h 02 min".
std::string FormatDuration(double seconds);

// The board drawn on a terminal. Thread-safe: each client's task reports
// from its own thread.
class RoomBoard {
public:
    RoomBoard(std::FILE* out, const std::vector<std::string>& labels);

    // A client's task begins (again, for a retry).
    void Start(size_t client);
    void Update(size_t client, const SessionProgress& progress);
    // A client's task has ended in `state` (Done, Current, Failed or
    // Unreachable); `error` says why when it did not succeed.
    void Finish(size_t client, BoardState state, const std::string& error);
    void SetRate(const BoardRate& rate);
    // A line above the board, which stays in place below it.
    void Note(const std::string& line);
    // Draws the final state; what is printed after it follows the board.
    void Close();

private:
    void DrawLocked(bool force, const std::string& note = {});

    std::FILE* out_;
    std::vector<BoardClient> clients_;
    BoardRate rate_;
    const std::chrono::steady_clock::time_point begun_;
    size_t drawnLines_ = 0;
    std::chrono::steady_clock::time_point lastDraw_{};
    std::mutex mutex_;
};

} // namespace qelsrv
