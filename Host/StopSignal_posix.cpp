// POSIX: SIGINT and SIGTERM are blocked in every thread (the transport's
// threads inherit the mask) and taken synchronously by the main thread.
#include "StopSignal.h"

#include <signal.h>

namespace {

sigset_t StopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

} // namespace

void PrepareStopSignal()
{
    // A parent that ignored them (a shell's background job ignores SIGINT)
    // must not leave the host deaf to the request.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void WaitForStopSignal()
{
    const sigset_t signals = StopSignals();
    int received = 0;
    while (sigwait(&signals, &received) != 0) { }
}

void AcknowledgeStopSignal() { }
