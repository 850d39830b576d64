// The core's view of the transport library Ravelnet.dll: the one place the
// core includes its header. Every task talks to the server through these
// calls on the connection it was handed.
#pragma once

#include "base/Status.h"
#include "protocol/TaskRecords.h"

#include <ravelnet.h>

namespace qek {

// The header the transport hands in is the service's TaskRequest.
static_assert(sizeof(RavelnetTaskHeader) == sizeof(TaskRequest));
static_assert(offsetof(RavelnetTaskHeader, type) == offsetof(TaskRequest, type));
static_assert(offsetof(RavelnetTaskHeader, payloadLength) == offsetof(TaskRequest, payloadLength));

// Listen address of the task server (its port: kDefaultTaskPort).
constexpr const char* kTaskServerAddress = "0.0.0.0";

// A transport call's result as a status: RAVELNET_OK is success, anything
// else the failure with that result as its code.
inline Status TransportStatus(int result)
{
    return result == RAVELNET_OK ? Status::Ok() : Status::Failure(result);
}

// Sends `reply` as the task's 20-byte answer.
inline Status SendTaskReply(RavelnetConnection connection, const TaskReply& reply)
{
    return TransportStatus(RavelnetReply(connection, &reply));
}

// Receives exactly `length` bytes within the task's receive timeout.
inline Status ReceiveExactly(RavelnetConnection connection, void* buffer, uint32_t length)
{
    return TransportStatus(RavelnetRecv(connection, buffer, length, kReceiveTimeoutMs));
}

} // namespace qek
