// What the sending side shows while clients update: one progress bar per
// client on a terminal, one plain line per file otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qelsrv {

// A client's progress as its latest FileRequest tells it: the request's own
// counters (files and bytes completed before the file it asks for) and the
// file it asks for.
struct SessionProgress {
    uint32_t filesDone = 0;
    uint32_t filesToUpdate = 0;
    uint64_t bytesDone = 0;
    uint64_t bytesToUpdate = 0;
    std::string currentFile; // empty once the task has ended
    uint64_t currentFileSize = 0;
};

// "0 B", "512 B", "1.0 KiB", "4.50 GiB": binary units, three significant digits.
std::string FormatBytes(uint64_t bytes);

// One client's progress in at most `width` columns:
// "label  [#####-----]  50%  3/6 files  1.50/3.00 GiB  \path\file".
// The percentage follows the bytes, or the files when there are no bytes to move.
std::string RenderProgressLine(std::string_view label, const SessionProgress& progress, size_t width);

// The plain line for one requested file (output that is not a terminal):
// "label: [4/6] 1.50 GiB/3.00 GiB \path\file (2.0 MiB)".
std::string RenderFileLine(std::string_view label, const SessionProgress& progress);

// The board of all clients of one run. Thread-safe: each client's session
// reports from its own thread.
class ProgressBoard {
public:
    // `interactive`: redraw one bar per client in place with ANSI escapes;
    // otherwise print one line per requested file.
    ProgressBoard(std::FILE* out, bool interactive, std::vector<std::string> labels);

    void Update(size_t client, const SessionProgress& progress);
    // Marks a client finished with its outcome text; the bar shows it instead.
    void Finish(size_t client, const std::string& outcome);
    // The line about the whole run under the clients' bars (interactive), e.g.
    // "3 running, 5 of 12 done, 40.0 MiB/s"; otherwise printed on its own
    // line every five seconds, from five seconds after the board was made.
    void SetFooter(const std::string& footer);
    // Draws the final state (interactive), so that the outcome lines follow it.
    void Close();

private:
    void DrawLocked(bool force);

    std::FILE* out_;
    bool interactive_;
    std::vector<std::string> labels_;
    std::vector<SessionProgress> progress_;
    std::vector<char> reported_; // a client has sent its first request
    std::vector<std::string> outcomes_;
    std::string footer_;
    std::chrono::steady_clock::time_point lastFooter_{};
    bool footerDrawn_ = false;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
    std::mutex mutex_;
};

// True when `stream` is a terminal that understands ANSI escapes (on Windows
// the console's virtual-terminal mode is switched on for it).
bool IsAnsiTerminal(std::FILE* stream);

// Columns of the terminal behind `stream`, 80 when unknown.
size_t TerminalWidth(std::FILE* stream);

} // namespace qelsrv
