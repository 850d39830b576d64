// What the commands that serve a folder's files to clients share (update,
// dirsync): the clients and the check list from the command line, and one
// task run against every client at once, with the room's board on a terminal
// (a progress bar per client with --verbose, a line per file when the output
// is not a terminal), an outcome line per client and the exit status.
#pragma once

#include "checklist.h"
#include "room.h"
#include "update_session.h"

#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
}

namespace qelsrv {

// Prints "qelsrv: <message>" and ends the command with exit status 2: the
// command line asks for something that cannot be sent.
[[noreturn]] void RefuseCommand(const std::string& message);

// Adds --codepage N: the clients' ANSI code page (936, the default; 1252 or
// 65001), in which names and paths are sent to them.
void AddCodePageOption(CLI::App* command, uint32_t& codePage);

// What every command that serves a folder's files to clients takes besides
// its folder and paths.
struct FileTaskOptions {
    RoomOptions room;
    uint32_t taskId = 0;
    bool full = false;
    bool verbose = false; // a bar per client instead of the room's board
    unsigned timeoutSeconds = 300;
    uint32_t codePage = kDefaultClientCodePage;
};

// Adds --codepage, --task-id (by default the current time in seconds), --full,
// --verbose and --timeout to `command`.
void AddFileTaskOptions(CLI::App* command, FileTaskOptions& options);

// Each option's text (name, value as typed: UTF-8 on a POSIX server) in the
// clients' code page, in order; refuses the command (status 2), naming every
// option whose text holds a character that the code page cannot represent.
std::vector<std::string> ArgumentsToClientOrRefuse(uint32_t codePage,
                                                   const std::vector<std::pair<std::string, std::string>>& options);

// The check list of `folder` with names in `codePage`; prints what it leaves
// out, and refuses when an entry cannot be given to a client.
CheckList BuildListOrRefuse(const std::string& folder, uint32_t codePage = kDefaultClientCodePage);

// Runs `spec` with `list` against every client as `options.room` says,
// prints each client's outcome and the summary. Ends the command with exit
// status 1 when any client failed or was unreachable.
// `options.timeoutSeconds`: how long a client may stay silent.
void RunOnClients(const std::string& command, const std::vector<Endpoint>& endpoints, const FileTaskSpec& spec,
                  const CheckList& list, const FileTaskOptions& options);

} // namespace qelsrv
