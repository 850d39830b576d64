#include "update_progress.h"

#include <algorithm>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace qelsrv {
namespace {

constexpr size_t kBarCells = 20;
// Redraws at most this often; every finish is drawn at once.
constexpr std::chrono::milliseconds kRedrawInterval{100};

unsigned Percent(uint64_t done, uint64_t total)
{
    if (total == 0)
        return 100;
    if (done >= total)
        return 100;
    // done < total <= 2^64-1: (done / total) * 100 without overflow.
    return static_cast<unsigned>(static_cast<long double>(done) * 100.0L / static_cast<long double>(total));
}

unsigned ProgressPercent(const SessionProgress& progress)
{
    if (progress.bytesToUpdate > 0)
        return Percent(progress.bytesDone, progress.bytesToUpdate);
    return Percent(progress.filesDone, progress.filesToUpdate);
}

std::string Bar(unsigned percent)
{
    size_t filled = std::min<size_t>(kBarCells, percent * kBarCells / 100);
    return "[" + std::string(filled, '#') + std::string(kBarCells - filled, '-') + "]";
}

// Keeps the end of a path, which names the file, when it must be shortened.
std::string FitTail(const std::string& text, size_t width)
{
    if (text.size() <= width)
        return text;
    if (width <= 3)
        return std::string(width, '.');
    return "..." + text.substr(text.size() - (width - 3));
}

} // namespace

std::string FormatBytes(uint64_t bytes)
{
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    long double value = static_cast<long double>(bytes);
    size_t unit = 0;
    while (value >= 1024.0L && unit + 1 < std::size(kUnits)) {
        value /= 1024.0L;
        ++unit;
    }
    char text[32];
    const char* format = value < 10.0L ? "%.2Lf %s" : value < 100.0L ? "%.1Lf %s" : "%.0Lf %s";
    std::snprintf(text, sizeof text, format, value, kUnits[unit]);
    return text;
}

std::string RenderProgressLine(std::string_view label, const SessionProgress& progress, size_t width)
{
    unsigned percent = ProgressPercent(progress);
    char counts[160];
    std::snprintf(counts, sizeof counts, "%s %3u%%  %u/%u files  %s/%s", Bar(percent).c_str(), percent,
                  progress.filesDone, progress.filesToUpdate, FormatBytes(progress.bytesDone).c_str(),
                  FormatBytes(progress.bytesToUpdate).c_str());
    std::string line = std::string(label) + "  " + counts;
    if (line.size() >= width)
        return line.substr(0, width);
    if (!progress.currentFile.empty() && width - line.size() > 2)
        line += "  " + FitTail(progress.currentFile, width - line.size() - 2);
    return line;
}

std::string RenderFileLine(std::string_view label, const SessionProgress& progress)
{
    return std::string(label) + ": [" + std::to_string(progress.filesDone + 1) + "/" +
           std::to_string(progress.filesToUpdate) + "] " + FormatBytes(progress.bytesDone) + "/" +
           FormatBytes(progress.bytesToUpdate) + " " + progress.currentFile + " (" +
           FormatBytes(progress.currentFileSize) + ")";
}

ProgressBoard::ProgressBoard(std::FILE* out, bool interactive, std::vector<std::string> labels)
    : out_(out), interactive_(interactive), labels_(std::move(labels)), progress_(labels_.size()),
      reported_(labels_.size(), 0), outcomes_(labels_.size()), lastFooter_(std::chrono::steady_clock::now())
{
}

void ProgressBoard::Update(size_t client, const SessionProgress& progress)
{
    std::lock_guard lock(mutex_);
    progress_.at(client) = progress;
    reported_.at(client) = 1;
    if (interactive_) {
        DrawLocked(false);
    } else if (!progress.currentFile.empty()) {
        std::fprintf(out_, "%s\n", RenderFileLine(labels_[client], progress).c_str());
        std::fflush(out_);
    }
}

void ProgressBoard::Finish(size_t client, const std::string& outcome)
{
    std::lock_guard lock(mutex_);
    outcomes_.at(client) = outcome;
    progress_.at(client).currentFile.clear();
    if (interactive_)
        DrawLocked(true);
}

void ProgressBoard::SetFooter(const std::string& footer)
{
    std::lock_guard lock(mutex_);
    if (interactive_) {
        footer_ = footer;
        DrawLocked(false);
        return;
    }
    // Only a run that lasts gets these lines, one each five seconds.
    auto now = std::chrono::steady_clock::now();
    if (now - lastFooter_ < std::chrono::seconds(5))
        return;
    lastFooter_ = now;
    std::fprintf(out_, "%s\n", footer.c_str());
    std::fflush(out_);
}

void ProgressBoard::Close()
{
    std::lock_guard lock(mutex_);
    if (interactive_)
        DrawLocked(true);
}

void ProgressBoard::DrawLocked(bool force)
{
    auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - lastDraw_ < kRedrawInterval)
        return;
    lastDraw_ = now;
    size_t width = TerminalWidth(out_);
    // Keep the last column free: writing into it makes some terminals wrap.
    size_t usable = width > 1 ? width - 1 : width;
    std::string frame;
    if (drawn_)
        frame += "\x1b[" + std::to_string(labels_.size() + (footerDrawn_ ? 1 : 0)) + "A";
    for (size_t i = 0; i < labels_.size(); ++i) {
        std::string line;
        if (!outcomes_[i].empty())
            line = (labels_[i] + "  " + outcomes_[i]).substr(0, usable);
        else if (!reported_[i])
            line = (labels_[i] + "  waiting for the client").substr(0, usable);
        else
            line = RenderProgressLine(labels_[i], progress_[i], usable);
        frame += "\r\x1b[2K" + line + "\n";
    }
    if (!footer_.empty()) {
        frame += "\r\x1b[2K" + footer_.substr(0, usable) + "\n";
        footerDrawn_ = true;
    }
    drawn_ = true;
    std::fputs(frame.c_str(), out_);
    std::fflush(out_);
}

#ifdef _WIN32

bool IsAnsiTerminal(std::FILE* stream)
{
    if (!_isatty(_fileno(stream)))
        return false;
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode))
        return false;
    return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

size_t TerminalWidth(std::FILE* stream)
{
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(console, &info) && info.srWindow.Right > info.srWindow.Left)
        return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
    return 80;
}

#else

bool IsAnsiTerminal(std::FILE* stream)
{
    if (!isatty(fileno(stream)))
        return false;
    const char* term = std::getenv("TERM");
    return term == nullptr || std::string_view(term) != "dumb";
}

size_t TerminalWidth(std::FILE* stream)
{
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

#endif

} // namespace qelsrv
