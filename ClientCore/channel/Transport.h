// The core's view of the transport library Ravelnet.dll: the one place the
// core includes its header. Every task talks to the server through these
// calls on the connection it was handed.
#pragma once

#include "channel/TaskRecords.h"

#include <ravelnet.h>

// The header the transport hands in is the service's TaskRequest.
static_assert(sizeof(RavelnetTaskHeader) == sizeof(TaskRequest));
static_assert(offsetof(RavelnetTaskHeader, type) == offsetof(TaskRequest, type));
static_assert(offsetof(RavelnetTaskHeader, payloadLength) == offsetof(TaskRequest, payloadLength));

// Listen address and port of the task server.
constexpr const char* kTaskServerAddress = "0.0.0.0";
constexpr uint16_t kTaskServerPort = 19750;

// Sends `reply` as the task's 20-byte answer: 1 when sent, else the
// transport's failure code.
inline int SendTaskReply(RavelnetConnection connection, const TaskReply& reply)
{
    return RavelnetReply(connection, &reply);
}
