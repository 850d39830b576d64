// The records every task shares on the wire: the header the transport hands
// to the task callback, and the 20-byte reply a task sends back.
#pragma once

#include <cstddef>
#include <cstdint>

// Task types the service handles.
enum TaskType : uint32_t {
    kTaskGameUpdate = 20000,
    kTaskDeleteGame = 20001,
    kTaskDiskInfo = 20002,
    kTaskDirectorySync = 20003,
};

// The service's own result codes: the reply codes a task sends, the start's
// results, and failure codes that the log shows beside system error codes
// and transport results (see Status).
enum ServiceResult : int32_t {
    kResultOk = 1,
    kResultStartupStdException = 110012,
    kResultVersionsAgree = 110020,
    kResultCheckListUnmappable = 110024,
    kResultDirectoryNotFound = 110030,
    kResultHelperLibraryMissing = -300000,
};

// The header of one task as the transport delivers it (little-endian).
struct TaskRequest {
    uint32_t type;
    uint8_t unread[8];
    uint32_t payloadLength; // bytes of task body after the header
};
static_assert(sizeof(TaskRequest) == 16);
static_assert(offsetof(TaskRequest, type) == 0);
static_assert(offsetof(TaskRequest, payloadLength) == 12);

// The answer a task sends first (update, directory sync, disk info) or last
// (delete game). Cleared to zero, then only the used fields are set.
struct TaskReply {
    uint32_t reserved0;
    uint32_t reserved1;
    uint32_t resultCode;
    uint32_t reserved3;
    uint32_t dataLength; // bytes the client sends right after the reply
};
static_assert(sizeof(TaskReply) == 20);
static_assert(offsetof(TaskReply, resultCode) == 8);
static_assert(offsetof(TaskReply, dataLength) == 16);

inline TaskReply MakeTaskReply(uint32_t resultCode, uint32_t dataLength = 0)
{
    TaskReply reply{};
    reply.resultCode = resultCode;
    reply.dataLength = dataLength;
    return reply;
}

// Every receive on a task's connection waits at most this long.
constexpr uint32_t kReceiveTimeoutMs = 300000;
