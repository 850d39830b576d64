// The server's side of the file-serving conversation shared by the game update
// (task 20000) and the directory sync (task 20003): send the task and its
// parameters, read the client's answer, stream the check list, then serve
// exactly the listed files the client asks for until it ends the task.
#pragma once

#include "checklist.h"
#include "update_progress.h"

#include "protocol/FileTaskRecords.h"
#include "protocol/TaskRecords.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qelsrv {

class Interrupter;
class SendBudget;

struct Endpoint {
    std::string host;
    uint16_t port = kDefaultTaskPort;

    std::string Label() const { return host + ":" + std::to_string(port); }
};

// "HOST" or "HOST:PORT"; false with a message when the text is not one.
bool ParseEndpoint(std::string_view text, Endpoint& endpoint, std::string& error);

// One task of the conversation: its type, the reply code with which the client
// declines it (nothing to do), and the parameters to send. The session fills
// `params.checkListSize` from the list it serves.
struct FileTaskSpec {
    uint32_t taskType = kTaskGameUpdate;
    uint32_t declinedCode = kResultVersionsAgree;
    const char* declinedText = "already current"; // the outcome line of a declined task
    TaskParams params{};
};

// Copies `text` into a fixed NUL-terminated field of a record; false when it
// does not fit with its NUL or holds a NUL itself.
template <size_t N>
bool FillField(char (&field)[N], std::string_view text)
{
    if (text.size() >= N || text.find('\0') != std::string_view::npos)
        return false;
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size());
    return true;
}

// The update task's parameters. `gamePath` should end with a backslash.
// Fails with a message when a text does not fit its field with its NUL.
bool MakeUpdateParams(uint32_t taskId, std::string_view gameVersion, std::string_view gamePath, bool full,
                      TaskParams& params, std::string& error);

// The game path as the client joins names to it: ending with a backslash.
std::string NormaliseGamePath(std::string_view gamePath, uint32_t codePage = kDefaultClientCodePage);

// Why the client could not hold the list below `gamePath` in its 256-byte
// path buffers, or nullopt when every path fits.
std::optional<std::string> CheckPathsFit(const CheckList& list, std::string_view gamePath);

// The part of CheckPathsFit that every task shares: why one of the listed
// names joined to `root` (the directory that receives the files, ending with
// a backslash) would not fit the client's path buffers, or nullopt.
std::optional<std::string> CheckNamesFit(const CheckList& list, std::string_view root);

struct SessionOptions {
    uint32_t connectTimeoutMs = 10000;
    // How long the client may stay silent: while it compares its local files
    // before the first request, and between requests.
    uint32_t receiveTimeoutMs = 300000;
    // Shared by the sessions of one run: what they send goes through the
    // budget, and the interrupter can end them. Either may be null.
    SendBudget* budget = nullptr;
    Interrupter* interrupter = nullptr;
};

enum class SessionOutcome { Completed, Declined, Failed };

struct SessionResult {
    SessionOutcome outcome = SessionOutcome::Failed;
    bool connected = false; // false: the client could not be reached
    bool replied = false;   // the client answered the task (replyCode holds it)
    uint32_t replyCode = 0; // the client's answer to the task, when it came
    uint32_t filesDone = 0; // the end-of-task command's count of files
    uint32_t filesServed = 0;
    uint64_t bytesServed = 0;
    std::string error; // why it failed
};

using ProgressCallback = std::function<void(const SessionProgress&)>;

// Runs one task against one client. `list` must be ok(); it is shared
// read-only between concurrent sessions. `progress` is called on the calling
// thread for every file request and once with the end-of-task counters.
SessionResult RunFileTaskSession(const Endpoint& endpoint, const FileTaskSpec& spec, const CheckList& list,
                                 const ProgressCallback& progress, const SessionOptions& options = {});

// ---- The decisions of the conversation, apart from its input and output ----

// The counters a FileRequest carries, as progress.
SessionProgress ProgressOf(const FileRequest& request);

// What a client's request for a file asks for: the index of its record in the
// list, or why it must not be served (a name outside the folder, a name not in
// the list, a directory, a size other than the listed one).
struct FileRequestCheck {
    std::optional<size_t> index;
    std::string error;
};
FileRequestCheck CheckFileRequest(const CheckList& list, const FileRequest& request);

// The outcome as one line: "updated 3 files", the spec's declined text
// ("already current"), "failed: <reason>".
std::string DescribeOutcome(const FileTaskSpec& spec, const SessionResult& result);

} // namespace qelsrv
