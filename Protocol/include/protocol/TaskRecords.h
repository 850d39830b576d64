// What every task shares on the wire: the task types, the header the
// transport hands to the task callback, the 20-byte reply a task sends back
// with its result codes, the task server's default port and the time a
// receive may wait.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qek::inline protocol {

// The task types the client handles.
enum TaskType : uint32_t {
    kTaskGameUpdate = 20000,
    kTaskDeleteGame = 20001,
    kTaskDiskInfo = 20002,
    kTaskDirectorySync = 20003,
};

// The service's own result codes: the reply codes a task sends, the start's
// results, and failure codes that the client's log shows beside system error
// codes and transport results, and that the server tool names.
enum ServiceResult : int32_t {
    kResultOk = 1, // every task's reply: accepted, the task goes on
    kResultStartupStdException = 110012,
    kResultVersionsAgree = 110020, // update reply: the local version is the server's
    kResultCheckListUnmappable = 110024,
    kResultDirectoryNotFound = 110030, // directory sync reply: the directory is on no drive
    kResultHelperLibraryMissing = -300000,
};

// The port on which a client's task server listens unless told otherwise.
constexpr uint16_t kDefaultTaskPort = 19750;

// Every receive on a task's connection waits at most this long.
constexpr uint32_t kReceiveTimeoutMs = 300000;

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

} // namespace qek::inline protocol
