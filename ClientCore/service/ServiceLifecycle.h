// Start and stop of the service (the exported entry points live in
// ServiceLifecycle.cpp) and the one fact the task channel asks of them.
#pragma once

namespace qek {

// True from the moment a start has its log and helper binding in place until
// the stop begins to release them. Tasks that arrive at any other time are
// refused, so that none of them reaches a released log.
bool ServiceAcceptsTasks();

} // namespace qek
