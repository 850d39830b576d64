// Waiting for the request to stop the host: SIGINT or SIGTERM on POSIX,
// Ctrl+C, Ctrl+Break or closing the console on Windows.
#pragma once

// Prepares the wait. Called before the core is loaded, so that no thread the
// service starts can take the request away from the waiting thread.
void PrepareStopSignal();

// Returns when the request to stop has arrived (also when it arrived before).
void WaitForStopSignal();

// Tells the platform that the service has been stopped: a closing console on
// Windows waits for this before the process is ended.
void AcknowledgeStopSignal();
