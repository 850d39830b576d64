// What the commands that serve a folder's files to clients share (update,
// dirsync): the clients and the check list from the command line, and one
// task run against every client at once, with a progress bar per client (a
// line per file when the output is not a terminal), an outcome line per
// client and the exit status.
#pragma once

#include "checklist.h"
#include "room.h"
#include "update_session.h"

#include <string>
#include <vector>

namespace qelsrv {

// Prints "qelsrv: <message>" and ends the command with exit status 2: the
// command line asks for something that cannot be sent.
[[noreturn]] void RefuseCommand(const std::string& message);

// The check list of `folder`; prints what it leaves out, and refuses when an
// entry cannot be given to a client.
CheckList BuildListOrRefuse(const std::string& folder);

// Runs `spec` with `list` against every client as `room` says, prints each
// client's outcome and the summary. Ends the command with exit status 1 when
// any client failed or was unreachable. `timeoutSeconds`: how long a client
// may stay silent.
void RunOnClients(const std::string& command, const std::vector<Endpoint>& endpoints, const FileTaskSpec& spec,
                  const CheckList& list, unsigned timeoutSeconds, const RoomOptions& room);

} // namespace qelsrv
