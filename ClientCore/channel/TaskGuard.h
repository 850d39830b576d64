// Every task handler runs inside RunGuarded, so that no exception leaves a
// task. A task that throws (out of memory, say) is logged once with its type
// and the reason and its connection is closed at once; the service goes on
// serving. Left to propagate, the exception would reach the transport's
// thread, and on Windows it cannot cross from this library into the
// transport's: the host process would end.
#pragma once

#include "channel/Transport.h"

#include <cstdint>
#include <exception>

namespace qek {

// Logs "the task ended by an exception" and drops the task's connection.
void EndFailedTask(RavelnetConnection connection, uint32_t taskType, const char* reason) noexcept;

template <class Handler>
void RunGuarded(RavelnetConnection connection, uint32_t taskType, Handler&& handler) noexcept
{
    try {
        handler();
    } catch (const std::exception& failure) {
        EndFailedTask(connection, taskType, failure.what());
    } catch (...) {
        EndFailedTask(connection, taskType, "unknown exception");
    }
}

} // namespace qek
