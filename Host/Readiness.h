// Telling the service manager that the host is ready or stopping. On POSIX
// this is systemd's notification socket (Type=notify): "READY=1" once the
// service runs, "STOPPING=1" when the stop begins; without $NOTIFY_SOCKET
// nothing is sent. On Windows the console run has nobody to tell (the
// service reports to the SCM itself).
#pragma once

void NotifyReady();
void NotifyStopping();
